#include "engine_ops/cs_ops.hpp"

#include "kernels/cross_section.hpp"
#include "kernels/row_rank.hpp"

namespace tarnfold::engine {

namespace {

using kern::CodeView;
using kern::ConstView;
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

const CsOpDef *find_cs_op(const std::string &name) {
    for (const CsOpDef &op : kCsOps)
        if (name == op.name) return &op;
    return nullptr;
}

}  // namespace tarnfold::engine
