// The per-instrument loop: a compiled expression run over every
// instrument's right-aligned valid-day series, writing straight into one
// preallocated column-major table.  With our own context every input comes
// as one date x instrument table with the valid-day mask, and the whole
// loop runs in C++ without the GIL, instruments spread over the context's threads (each
// instrument's column is computed as on one thread).  Otherwise the
// generic loop of evaluate_generic.cpp asks the context for each series.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include "common/pyclass.hpp"

#include "engine_v2/engine.hpp"
#include "kernels/parallel.hpp"

namespace tarnfold::engine {

namespace {

using kern::kNaN;

using LongArray = py::array_t<long long, py::array::c_style | py::array::forcecast>;
using IndexArray = py::array_t<index_t, py::array::c_style | py::array::forcecast>;

// How our context lays out the requested instruments: for each, its
// context column; for each context column, its valid days (a column-major
// date x column boolean array).
struct Layout {
    index_t ndays = 0;
    py::ssize_t n = 0;
    const long long *col = nullptr;
    const bool *valid = nullptr;
    index_t valid_stride = 0;  // elements between the mask's columns
    py::ssize_t ncols = 0;
    std::vector<index_t> nvalid;  // per requested instrument
    int threads = 1;
    std::vector<py::object> keep;

    // Requested instrument i's valid-day flags by date position.
    const bool *flags(index_t i) const { return valid + col[i] * valid_stride; }
    // The date positions of requested instrument i's valid days (`pos`
    // holds ndays + 1 entries: every day is written, the next position
    // taken at valid days only).
    void positions(index_t i, std::vector<index_t> &pos) const {
        pos.resize(static_cast<std::size_t>(ndays) + 1);
        index_t *p = pos.data();
        walk_valid_days(
            flags(i), 0, ndays - 1,
            [p](index_t t, index_t k) {
                for (index_t u = 0; u < 8; ++u) p[k + u] = t + u;
            },
            [p](index_t t, index_t k) { p[k] = t; });
    }
};

bool read_layout(py::handle ctx, py::handle order_book_ids, index_t ndays, py::ssize_t n,
                 Layout &lay) {
    if (!py::hasattr(ctx, "_engine_bulk")) return false;
    py::object bulk = ctx.attr("_engine_bulk")(order_book_ids);
    if (bulk.is_none() || !py::isinstance<py::tuple>(bulk) || py::len(bulk) != 2) return false;
    auto parts = bulk.cast<py::tuple>();
    auto cols = parts[0].cast<LongArray>();
    if (!py::isinstance<py::array>(parts[1])) return false;
    auto valid = py::reinterpret_borrow<py::array>(parts[1]);
    if (!valid.dtype().is(py::dtype::of<bool>()) || valid.ndim() != 2 || valid.shape(0) != ndays ||
        valid.strides(0) != 1 || cols.size() != n) {
        return false;
    }
    lay.ndays = ndays;
    lay.n = n;
    lay.ncols = valid.shape(1);
    lay.col = cols.data();
    lay.valid = static_cast<const bool *>(valid.data());
    lay.valid_stride = lay.ncols > 1 ? valid.strides(1) : ndays;
    lay.nvalid.assign(static_cast<std::size_t>(n), 0);
    for (py::ssize_t i = 0; i < n; ++i) {
        const long long c = lay.col[i];
        if (c < 0 || c >= lay.ncols) return false;
        const bool *v = lay.valid + c * lay.valid_stride;
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(v);
        std::uint64_t count = 0;
        for (index_t t = 0; t < ndays; ++t) count += bytes[t];  // flags are 0 or 1
        lay.nvalid[static_cast<std::size_t>(i)] = static_cast<index_t>(count);
    }
    lay.threads = context_threads(ctx);
    lay.keep = {cols, valid};
    return true;
}

// Each input node's values as the context hands them over; false when one
// cannot be read this way (get_factor_value then raises for it).
bool read_inputs(const Program &program, py::handle ctx, py::handle order_book_ids,
                 const Layout &lay, std::vector<Program::Packed> &inputs,
                 std::vector<py::object> &keep) {
    for (int k : program.input_nodes()) {
        py::object packed = ctx.attr("_engine_packed")(program.node_object(k), order_book_ids);
        if (packed.is_none()) return false;
        Program::Packed p;
        if (is_real(packed)) {
            p.scalar = true;
            p.number = packed.cast<double>();
        } else {
            // ("table", column-major date x column values, table column of
            // each context column or -1)
            if (!py::isinstance<py::tuple>(packed) || py::len(packed) != 3) return false;
            auto parts = packed.cast<py::tuple>();
            if (!py::isinstance<py::str>(parts[0])) return false;
            auto table = py::reinterpret_borrow<py::object>(parts[1]);
            if (!py::isinstance<py::array_t<double>>(table)) return false;
            auto arr = py::reinterpret_borrow<py::array>(table);
            if (!arr.dtype().is(py::dtype::of<double>()) || arr.ndim() != 2 ||
                arr.shape(0) != lay.ndays ||
                arr.strides(0) != static_cast<py::ssize_t>(sizeof(double)) ||
                arr.strides(1) % static_cast<py::ssize_t>(sizeof(double)) != 0) {
                return false;
            }
            auto tcols = parts[2].cast<LongArray>();
            if (tcols.size() != lay.ncols) return false;
            for (py::ssize_t i = 0; i < lay.n; ++i)
                if (tcols.data()[lay.col[i]] >= arr.shape(1)) return false;
            p.table = static_cast<const double *>(arr.data());
            p.col_stride = arr.strides(1) / static_cast<py::ssize_t>(sizeof(double));
            p.table_cols = tcols.data();
            keep.push_back(table);
            keep.push_back(tcols);
        }
        inputs.push_back(p);
    }
    return true;
}

// An instrument whose evaluation failed: an operator's error, or a root
// whose value does not fit the instrument's valid days.
struct Failed {
    py::ssize_t at;
    std::string op_error;
};

// Runs the program over every instrument, writing root k into outs[k] for
// instruments with more than shifts[k] valid days (NaN elsewhere).  Throws
// Failed for the first instrument (in order) that fails.
void run_all(const Program &program, const std::vector<Program::Packed> &inputs, const Layout &lay,
             const std::vector<double> &shifts, std::vector<frame::OutArray> &outs) {
    const std::size_t nroots = shifts.size();
    double lowest = shifts[0];
    for (double s : shifts) lowest = std::min(lowest, s);
    const index_t ndays = lay.ndays;
    index_t cells = 0;
    for (index_t v : lay.nvalid) cells += v;
    const int threads = kern::threads_for(cells * static_cast<index_t>(nroots) * 8, lay.threads);
    std::vector<Program::Workspace> spaces;
    for (int t = 0; t < threads; ++t) spaces.push_back(program.workspace());
    std::vector<std::vector<index_t>> days(static_cast<std::size_t>(threads));
    const index_t grain = std::max<index_t>(1, lay.n / (8 * threads));
    py::gil_scoped_release nogil;
    kern::parallel_chunks(lay.n, threads, grain, [&](int thread, index_t lo, index_t hi) {
        Program::Workspace &ws = spaces[static_cast<std::size_t>(thread)];
        std::vector<index_t> &scratch = days[static_cast<std::size_t>(thread)];
        for (index_t i = lo; i < hi; ++i) {
            const index_t nv = lay.nvalid[i];
            const long long c = lay.col[i];
            lay.positions(i, scratch);
            const index_t *pos = scratch.data();
            const bool run = static_cast<double>(nv) > lowest;
            if (run) {
                try {
                    program.run_packed(inputs, static_cast<index_t>(c), nv, pos, lay.flags(i), ws);
                } catch (const OpError &e) {
                    throw Failed{i, e.message};
                }
            }
            for (std::size_t k = 0; k < nroots; ++k) {
                double *column = outs[k].view.data + i * ndays;
                if (!run || nv == 0 || static_cast<double>(nv) <= shifts[k]) {
                    std::fill(column, column + ndays, kNaN);
                    continue;
                }
                const Value &v = program.root_value(ws, k);
                if (!v.scalar && !(v.len > 0 && v.len <= nv)) throw Failed{i, std::string()};
                // NaN on the days the value does not cover, then the value
                // at valid days, each day written once, in date order
                const index_t from = pos[v.scalar ? 0 : nv - v.len], last = pos[nv - 1];
                const bool *flag = lay.flags(i);
                std::fill(column, column + from, kNaN);
                if (v.scalar) {
                    for (index_t t = from; t <= last; ++t) column[t] = flag[t] ? v.number : kNaN;
                } else {
                    const double *data = v.data;
                    walk_valid_days(
                        flag, from, last,
                        [=](index_t t, index_t at) {
                            std::memcpy(column + t, data + at, 8 * sizeof(double));
                        },
                        [=](index_t t, index_t at) { column[t] = flag[t] ? data[at] : kNaN; });
                }
                std::fill(column + last + 1, column + ndays, kNaN);
            }
        }
    });
}

}  // namespace

frame::OutArray run_instrument_loop(py::handle factor, py::handle order_book_ids, py::handle ctx) {
    const index_t ndays = pyc::as_integer(ctx.attr("ndays"),
                                          "exec_context.ndays: expected an integer");
    const py::ssize_t n = py::len(order_book_ids);
    if (ndays < 0)
        throw py::value_error("exec_context.ndays: expected a count, got a negative number");
    frame::OutArray out = new_table(ndays, n);

    py::object expr = factor.attr("expr");
    const double shift = py::float_(factor.attr("shift")).cast<double>();
    py::object exec_expr_fn = glob("_exec_expr");
    const bool own_expr = own_exec_expr(exec_expr_fn);
    std::unique_ptr<Program> program;
    Layout lay;
    if (own_expr && read_layout(ctx, order_book_ids, ndays, n, lay)) {
        bool any = false;
        for (index_t v : lay.nvalid) any = any || static_cast<double>(v) > shift;
        if (!any) {
            // nothing to evaluate (and nothing compiled)
            std::fill(out.view.data, out.view.data + ndays * n, kNaN);
            return out;
        }
        program = std::make_unique<Program>(expr);
        std::vector<Program::Packed> inputs;
        std::vector<py::object> keep;
        if (!program->has_foreign() &&
            read_inputs(*program, ctx, order_book_ids, lay, inputs, keep)) {
            std::vector<frame::OutArray> outs{out};
            try {
                run_all(*program, inputs, lay, {shift}, outs);
            } catch (const Failed &f) {
                if (!f.op_error.empty()) throw py::value_error(f.op_error);
                // Let the array library report the misfit, with the value
                // computed again for that instrument.
                const long long c = lay.col[f.at];
                std::vector<index_t> pos;
                lay.positions(f.at, pos);
                Program::Workspace ws = program->workspace();
                program->run_packed(inputs, static_cast<index_t>(c), lay.nvalid[f.at], pos.data(),
                                    lay.flags(f.at), ws);
                py::array result = out.array;
                assign_through_numpy(result, pos.data(), lay.nvalid[f.at], f.at,
                                     Program::value_to_python(program->root_value(ws)));
            }
            return out;
        }
    }
    std::fill(out.view.data, out.view.data + ndays * n, kNaN);
    run_generic_loop(expr, shift, order_book_ids, ctx, out, program, own_expr, exec_expr_fn);
    return out;
}

std::vector<frame::OutArray> run_instrument_loops(const std::vector<py::object> &factors,
                                                  py::handle order_book_ids, py::handle ctx) {
    if (factors.empty() || !own_exec_expr(glob("_exec_expr"))) return {};
    const index_t ndays = pyc::as_integer(ctx.attr("ndays"),
                                          "exec_context.ndays: expected an integer");
    const py::ssize_t n = py::len(order_book_ids);
    if (ndays < 0) return {};
    Layout lay;
    if (!read_layout(ctx, order_book_ids, ndays, n, lay)) return {};
    std::vector<py::object> exprs;
    std::vector<double> shifts;
    for (const py::object &f : factors) {
        exprs.push_back(f.attr("expr"));
        shifts.push_back(py::float_(f.attr("shift")).cast<double>());
    }
    std::vector<frame::OutArray> outs;
    for (std::size_t k = 0; k < factors.size(); ++k) outs.push_back(new_table(ndays, n));
    double lowest = shifts[0];
    for (double s : shifts) lowest = std::min(lowest, s);
    bool any = false;
    for (index_t v : lay.nvalid) any = any || static_cast<double>(v) > lowest;
    if (!any) {
        for (frame::OutArray &o : outs) std::fill(o.view.data, o.view.data + ndays * n, kNaN);
        return outs;
    }
    try {
        Program program(exprs);
        std::vector<Program::Packed> inputs;
        std::vector<py::object> keep;
        if (program.has_foreign() || !read_inputs(program, ctx, order_book_ids, lay, inputs, keep))
            return {};
        run_all(program, inputs, lay, shifts, outs);
    } catch (const Failed &) {
        return {};
    } catch (const std::exception &) {
        return {};  // each factor on its own reports what went wrong
    }
    return outs;
}

}  // namespace tarnfold::engine
