#include "engine_ops/cs_ops.hpp"

#include <algorithm>

#include "kernels/cross_section.hpp"
#include "kernels/parallel.hpp"
#include "kernels/row_rank.hpp"

namespace tarnfold::engine {

namespace {

using kern::CodeView;
using kern::ConstView;
using kern::index_t;
using kern::MutView;

void run_rank(const ConstView &in, const CodeView *, const MutView &out, const double *) {
    kern::rank_rows_pct(in, out);
}
void run_zscore(const ConstView &in, const CodeView *, const MutView &out, const double *) {
    kern::zscore_rows(in, out);
}
void run_demean(const ConstView &in, const CodeView *, const MutView &out, const double *) {
    kern::demean_rows(in, out);
}
void run_scale(const ConstView &in, const CodeView *, const MutView &out, const double *p) {
    kern::scale_rows(in, out, p[0]);
}

template <kern::GroupOp Op>
void run_group(const ConstView &in, const CodeView *codes, const MutView &out, const double *) {
    kern::group_rows(in, *codes, out, Op);
}

const CsOpDef kCsOps[] = {
    {"rank", false, 0, run_rank},
    {"zscore", false, 0, run_zscore},
    {"demean", false, 0, run_demean},
    {"scale", false, 1, run_scale},
    {"group_demean", true, 0, run_group<kern::GroupOp::Demean>},
    {"group_rank", true, 0, run_group<kern::GroupOp::Rank>},
    {"group_zscore", true, 0, run_group<kern::GroupOp::ZScore>},
};

}  // namespace

std::span<const CsOpDef> cs_op_table() { return kCsOps; }

void run_cs_op(const CsOpDef &op, const ConstView &in, const CodeView *codes, const MutView &out,
               const double *params, int threads) {
    threads = kern::threads_for(in.rows * in.cols * 8, threads);
    if (op.grouped && threads > 1) {
        // Industry moments use one accumulator per code when the codes are
        // few, another summation order otherwise: the whole table must take
        // the same way, as on one thread.
        std::int32_t top = -1;
        for (index_t i = 0; i < in.rows; ++i)
            for (index_t j = 0; j < in.cols; ++j) top = std::max(top, (*codes)(i, j));
        if (top >= kern::kGroupAccumulators) threads = 1;
    }
    // blocks of whole rank blocks (16 rows), a few per thread
    const index_t grain = std::max<index_t>(16, (in.rows / (4 * threads) + 15) / 16 * 16);
    kern::parallel_chunks(in.rows, threads, grain, [&](int, index_t lo, index_t hi) {
        const ConstView sub_in{in.data + lo * in.row_stride, hi - lo, in.cols, in.row_stride,
                               in.col_stride};
        const MutView sub_out{out.data + lo * out.row_stride, hi - lo, out.cols, out.row_stride,
                              out.col_stride};
        if (codes) {
            const CodeView sub_codes{codes->data + lo * codes->row_stride, codes->row_stride,
                                     codes->col_stride};
            op.run(sub_in, &sub_codes, sub_out, params);
        } else {
            op.run(sub_in, nullptr, sub_out, params);
        }
    });
}

const CsOpDef *find_cs_op(const std::string &name) {
    for (const CsOpDef &op : kCsOps)
        if (name == op.name) return &op;
    return nullptr;
}

}  // namespace tarnfold::engine
