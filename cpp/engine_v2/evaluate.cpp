// Node evaluation: _exec_factor, _exec_expr, _exec_cross_sectional and
// _exec_fixed.
//
// _exec_factor compiles the factor's expression once and runs it per
// instrument on the instrument's right-aligned valid-day series, writing
// straight into one preallocated column-major array; the data frame is
// built once at the end.
#include <cmath>
#include <cstring>
#include <limits>

#include "common/frame.hpp"
#include "common/pyclass.hpp"
#include "engine_v2/engine.hpp"
#include "kernels/cross_section.hpp"
#include "kernels/row_groups.hpp"
#include "kernels/row_rank.hpp"

namespace tarnfold::engine {

namespace {

using kern::kNaN;

// Our own _exec_expr, to tell whether the module's one has been substituted.
PyObject *g_own_exec_expr = nullptr;
PyObject *g_own_exec_factor = nullptr;
PyObject *g_own_exec_cross_sectional = nullptr;

// The valid-day mask of one instrument as a bool array of length ndays.
py::array_t<bool> mask_array(py::handle mask, py::handle order_book_id, index_t ndays) {
    py::array_t<bool> arr;
    if (py::isinstance<py::array_t<bool>>(mask) &&
        py::reinterpret_borrow<py::array>(mask).dtype().is(py::dtype::of<bool>())) {
        arr = py::reinterpret_borrow<py::array_t<bool>>(mask);
    } else {
        arr = py::array_t<bool>(py::module_::import("numpy").attr("asarray")(mask).attr("astype")(
            "bool"));
    }
    if (arr.ndim() != 1 || arr.shape(0) != ndays) {
        throw py::value_error("get_mask_for(" + py::repr(order_book_id).cast<std::string>() +
                              "): expected a boolean array of length " + std::to_string(ndays) +
                              ", got shape " +
                              py::str(py::reinterpret_borrow<py::object>(arr).attr("shape"))
                                  .cast<std::string>());
    }
    return arr;
}

// result[indexes[-len(s):], i] = s done by the array library itself, for
// values the fast paths do not take (its errors are the ones raised).
void assign_through_numpy(py::array &result, const std::vector<index_t> &pos, py::ssize_t col,
                          py::handle s) {
    py::array_t<long long> indexes(static_cast<py::ssize_t>(pos.size()));
    for (std::size_t k = 0; k < pos.size(); ++k) indexes.mutable_data()[k] = pos[k];
    const py::ssize_t len = py::len(s);
    py::object tail = py::reinterpret_borrow<py::object>(indexes)[py::slice(
        py::int_(-len), py::none(), py::none())];
    result[py::make_tuple(tail, py::int_(col))] = s;
}

void write_series(double *column, const index_t *pos, index_t npos, const double *data,
                  index_t len) {
    const index_t off = npos - len;
    for (index_t k = 0; k < len; ++k) column[pos[off + k]] = data[k];
}
void write_series(double *column, const std::vector<index_t> &pos, const double *data,
                  index_t len) {
    write_series(column, pos.data(), static_cast<index_t>(pos.size()), data, len);
}

void fill_constant(double *column, const index_t *pos, index_t npos, double v) {
    for (index_t k = 0; k < npos; ++k) column[pos[k]] = v;
}
void fill_constant(double *column, const std::vector<index_t> &pos, double v) {
    fill_constant(column, pos.data(), static_cast<index_t>(pos.size()), v);
}

// Writes the value of one instrument's expression into its column.
void assign(py::array &result, double *column, const std::vector<index_t> &pos, py::ssize_t col,
            py::handle s) {
    if (is_real(s)) {
        const double v = PyFloat_AsDouble(s.ptr());
        if (PyErr_Occurred()) throw py::error_already_set();
        fill_constant(column, pos, v);
        return;
    }
    if (py::isinstance<py::array>(s)) {
        auto arr = py::reinterpret_borrow<py::array>(s);
        if (arr.ndim() == 1 && arr.dtype().is(py::dtype::of<double>()) &&
            arr.strides(0) == static_cast<py::ssize_t>(sizeof(double)) && arr.shape(0) > 0 &&
            arr.shape(0) <= static_cast<py::ssize_t>(pos.size())) {
            write_series(column, pos, static_cast<const double *>(arr.data()), arr.shape(0));
            return;
        }
    }
    assign_through_numpy(result, pos, col, s);
}

// The loop of the execution contract: per instrument, its mask and its
// expression's value through the context.
void run_generic_loop(py::handle expr, double shift, py::handle order_book_ids, py::handle ctx,
                      frame::OutArray &out, std::unique_ptr<Program> &program, bool own_expr,
                      py::handle exec_expr) {
    const index_t ndays = out.view.rows;
    const py::ssize_t n = out.view.cols;
    py::array result = out.array;
    std::vector<index_t> pos;
    pos.reserve(static_cast<std::size_t>(ndays));
    py::ssize_t i = 0;
    for (py::handle oid : order_book_ids) {
        if (i >= n) throw py::value_error("order_book_ids changed while it was read");
        py::array_t<bool> mask = mask_array(ctx.attr("get_mask_for")(oid), oid, ndays);
        auto m = mask.unchecked<1>();
        pos.clear();
        for (index_t t = 0; t < ndays; ++t)
            if (m(t)) pos.push_back(t);
        const index_t nvalid = static_cast<index_t>(pos.size());
        double *column = out.view.data + i * ndays;
        if (static_cast<double>(nvalid) <= shift) {
            ++i;
            continue;
        }
        if (!own_expr) {
            assign(result, column, pos, i, exec_expr(expr, oid, ctx));
            ++i;
            continue;
        }
        if (!program) program = std::make_unique<Program>(expr);
        program->run(ctx, oid, nvalid);
        if (!program->root_is_kernel()) {
            assign(result, column, pos, i, program->root_object());
        } else {
            const Value &v = program->root_value();
            if (v.scalar) fill_constant(column, pos, v.number);
            else if (v.len > 0 && v.len <= nvalid) write_series(column, pos, v.data, v.len);
            else assign_through_numpy(result, pos, i, program->root_as_python());
        }
        ++i;
    }
}

// The same loop for our own context and an expression made only of our
// operators: the context hands over its valid-day masks and every input
// packed instrument after instrument, and the whole loop runs in C++
// without the GIL.  Returns false (nothing written) when that is not
// possible; the generic loop then runs.
bool run_packed_loop(py::handle factor, py::handle expr, double shift, py::handle order_book_ids,
                     py::handle ctx, frame::OutArray &out, std::unique_ptr<Program> &program) {
    if (!py::hasattr(ctx, "_engine_bulk")) return false;
    py::object bulk = ctx.attr("_engine_bulk")(order_book_ids);
    if (bulk.is_none()) return false;
    auto parts = bulk.cast<py::tuple>();
    auto valid = parts[0].cast<py::array_t<bool>>();
    auto cols = parts[1].cast<py::array_t<long long, py::array::c_style | py::array::forcecast>>();
    const index_t ndays = out.view.rows;
    const py::ssize_t n = out.view.cols;
    if (valid.ndim() != 2 || valid.shape(0) != ndays || cols.size() != n) return false;
    const py::ssize_t vr = valid.strides(0), vc = valid.strides(1);
    const auto *vbase = reinterpret_cast<const char *>(valid.data());
    const long long *col = cols.data();
    for (py::ssize_t i = 0; i < n; ++i)
        if (col[i] < 0 || col[i] >= valid.shape(1)) return false;

    // Each instrument's valid days, as positions: handed over by the
    // context (packed column after column, at the offsets of its packed
    // series) or else read off the mask here.
    std::vector<index_t> own_days;
    std::vector<long long> own_offsets;
    const index_t *days = nullptr;
    const long long *day_offsets = nullptr;
    py::object keep_days, keep_offsets;
    if (py::len(parts) >= 4) {
        auto offs = parts[2].cast<py::array_t<long long, py::array::c_style | py::array::forcecast>>();
        auto d = parts[3].cast<py::array_t<index_t, py::array::c_style | py::array::forcecast>>();
        if (offs.size() == valid.shape(1) + 1 && offs.data()[valid.shape(1)] == d.size()) {
            days = d.data();
            day_offsets = offs.data();
            keep_days = d;
            keep_offsets = offs;
        }
    }
    if (!days) {
        own_offsets.assign(static_cast<std::size_t>(valid.shape(1)) + 1, 0);
        for (py::ssize_t c = 0; c < valid.shape(1); ++c) {
            const char *p = vbase + c * vc;
            for (index_t t = 0; t < ndays; ++t)
                if (p[t * vr]) own_days.push_back(t);
            own_offsets[c + 1] = static_cast<long long>(own_days.size());
        }
        days = own_days.data();
        day_offsets = own_offsets.data();
    }

    // Which instruments pass the look-back check; nothing is compiled when
    // none does.
    std::vector<index_t> nvalid(static_cast<std::size_t>(n), 0);
    bool any = false;
    for (py::ssize_t i = 0; i < n; ++i) {
        const index_t c = static_cast<index_t>(day_offsets[col[i] + 1] - day_offsets[col[i]]);
        if (c < 0 || c > ndays) return false;
        nvalid[i] = c;
        any = any || static_cast<double>(c) > shift;
    }
    if (!any) {
        std::fill(out.view.data, out.view.data + ndays * n, kNaN);
        return true;
    }
    if (!program) program = std::make_unique<Program>(expr);
    if (program->has_foreign()) return false;
    std::vector<Program::Packed> inputs;
    std::vector<py::object> keep;
    for (int k : program->input_nodes()) {
        py::object packed = ctx.attr("_engine_packed")(program->node_object(k), order_book_ids);
        if (packed.is_none()) return false;
        Program::Packed p;
        if (is_real(packed)) {
            p.scalar = true;
            p.number = packed.cast<double>();
        } else if (py::isinstance<py::tuple>(packed) && py::len(packed) == 3 &&
                   py::isinstance<py::str>(packed.cast<py::tuple>()[0])) {
            // ("table", column-major date x column values, table column of
            // each context column or -1)
            auto parts3 = packed.cast<py::tuple>();
            auto table = py::reinterpret_borrow<py::object>(parts3[1]);
            if (!py::isinstance<py::array_t<double>>(table)) return false;
            auto arr = py::reinterpret_borrow<py::array>(table);
            if (!arr.dtype().is(py::dtype::of<double>()) || arr.ndim() != 2 ||
                arr.shape(0) != ndays || arr.strides(0) != static_cast<py::ssize_t>(sizeof(double)) ||
                arr.strides(1) % static_cast<py::ssize_t>(sizeof(double)) != 0) {
                return false;
            }
            auto tcols = parts3[2].cast<py::array_t<long long, py::array::c_style | py::array::forcecast>>();
            if (tcols.size() != valid.shape(1)) return false;
            for (py::ssize_t i = 0; i < n; ++i) {
                const long long tc = tcols.data()[col[i]];
                if (tc >= arr.shape(1)) return false;
            }
            p.table = static_cast<const double *>(arr.data());
            p.col_stride = arr.strides(1) / static_cast<py::ssize_t>(sizeof(double));
            p.table_cols = tcols.data();
            keep.push_back(table);
            keep.push_back(tcols);
        } else {
            auto pair = packed.cast<py::tuple>();
            auto data = pair[0].cast<py::array_t<double, py::array::c_style | py::array::forcecast>>();
            auto offs = pair[1].cast<py::array_t<long long, py::array::c_style | py::array::forcecast>>();
            if (offs.size() != valid.shape(1) + 1) return false;
            // Each column's packed series must be as long as its valid days.
            for (py::ssize_t i = 0; i < n; ++i) {
                if (offs.data()[col[i] + 1] - offs.data()[col[i]] != nvalid[i]) return false;
            }
            if (offs.data()[valid.shape(1)] > data.size()) return false;
            p.data = data.data();
            p.offsets = offs.data();
            keep.push_back(data);
            keep.push_back(offs);
        }
        inputs.push_back(p);
    }
    (void)factor;

    py::ssize_t failed = -1;
    std::string op_error;
    {
        py::gil_scoped_release nogil;
        for (py::ssize_t i = 0; i < n && failed < 0; ++i) {
            double *column = out.view.data + i * ndays;
            std::fill(column, column + ndays, kNaN);
            if (static_cast<double>(nvalid[i]) <= shift) continue;
            const index_t *pos = days + day_offsets[col[i]];
            try {
                program->run_packed(inputs, static_cast<index_t>(col[i]), nvalid[i], pos);
            } catch (const OpError &e) {
                op_error = e.message;
                failed = i;
                break;
            }
            const Value &v = program->root_value();
            if (v.scalar) fill_constant(column, pos, nvalid[i], v.number);
            else if (v.len > 0 && v.len <= nvalid[i]) write_series(column, pos, nvalid[i], v.data, v.len);
            else failed = i;
        }
    }
    if (failed >= 0) {
        if (!op_error.empty()) throw py::value_error(op_error);
        std::fill(out.view.data + (failed + 1) * ndays, out.view.data + n * ndays, kNaN);
        // Let the array library report the mismatch.
        const index_t *first = days + day_offsets[col[failed]];
        std::vector<index_t> pos(first, first + nvalid[failed]);
        py::array result = out.array;
        assign_through_numpy(result, pos, failed, program->root_as_python());
    }
    return true;
}

// The values of a factor that is not cross-sectional, as a new
// column-major date x instrument array (nobody else holds it).
// Computes the cross-sectional and fixed factors `factor` reads and hands
// their tables to the context.
void compute_dependencies(py::handle factor, py::object order_book_ids, py::object ctx) {
    py::object deps = py::module_::import("builtins").attr("set")(factor.attr("dependencies"));
    for (py::handle f : deps) {
        if (is_instance_of(f, "CrossSectionalFactor")) {
            ctx.attr("update")(f, glob("_exec_cross_sectional")(f, order_book_ids, ctx));
        } else if (is_instance_of(f, "FixedFactor")) {
            ctx.attr("update")(f, glob("_exec_fixed")(f, order_book_ids, ctx));
        }
    }
}

frame::OutArray exec_factor_array(py::object factor, py::object order_book_ids, py::object ctx) {
    compute_dependencies(factor, order_book_ids, ctx);
    const index_t ndays = pyc::as_integer(ctx.attr("ndays"), "exec_context.ndays: expected an integer");
    const py::ssize_t n = py::len(order_book_ids);
    if (ndays < 0) throw py::value_error("exec_context.ndays: expected a count, got a negative number");
    // Columns start as NaN: the packed loop fills each one just before
    // writing it (while it is in cache), the generic loop all at once.
    frame::OutArray out = frame::new_column_major(ndays, n);

    py::object expr = factor.attr("expr");
    const double shift = py::float_(factor.attr("shift")).cast<double>();
    py::object exec_expr = glob("_exec_expr");
    const bool own_expr = exec_expr.ptr() == g_own_exec_expr;
    std::unique_ptr<Program> program;
    if (!(own_expr && run_packed_loop(factor, expr, shift, order_book_ids, ctx, out, program))) {
        std::fill(out.view.data, out.view.data + ndays * n, kNaN);
        run_generic_loop(expr, shift, order_book_ids, ctx, out, program, own_expr, exec_expr);
    }
    return out;
}

// The frame takes the array over (no copy).
py::object table_frame(py::array values, py::handle order_book_ids, py::handle ctx) {
    return glob("pd").attr("DataFrame")(py::arg("index") = ctx.attr("index"),
                                        py::arg("columns") = order_book_ids,
                                        py::arg("data") = values, py::arg("copy") = false);
}

py::object exec_factor(py::object factor, py::object order_book_ids, py::object ctx) {
    if (is_instance_of(factor, "CrossSectionalFactor")) {
        return glob("_exec_cross_sectional")(factor, order_book_ids, ctx);
    }
    frame::OutArray out = exec_factor_array(factor, order_book_ids, ctx);
    return table_frame(out.array, order_book_ids, ctx);
}

// The industry operation a group_* operator names.
kern::GroupOp group_op(const std::string &op) {
    if (op == "group_demean") return kern::GroupOp::Demean;
    if (op == "group_zscore") return kern::GroupOp::ZScore;
    if (op == "group_rank") return kern::GroupOp::Rank;
    throw py::value_error("unknown cross-sectional operation '" + op + "'");
}

// Group codes of a rows x cols table, checked, and their strided view.
struct GroupCodes {
    py::array_t<std::int32_t, py::array::forcecast> array;
    kern::CodeView view;
    GroupCodes(py::handle codes, const std::string &op, index_t rows, index_t cols)
        : array(py::array_t<std::int32_t, py::array::forcecast>::ensure(codes)) {
        if (!array || array.ndim() != 2 || array.shape(0) != rows || array.shape(1) != cols) {
            throw py::value_error(op + ": group codes must be an integer array shaped like the table");
        }
        view = kern::CodeView{array.data(),
                              static_cast<kern::index_t>(array.strides(0) / sizeof(std::int32_t)),
                              static_cast<kern::index_t>(array.strides(1) / sizeof(std::int32_t))};
    }
};

// Cross-sectional operators that can run in place on a table computed
// here: rank/zscore/demean/scale and their industry versions, of a factor
// or of another such operator (chains like rank(rank(x)) stay in one
// table, with no pandas round trip).  Only for our own operator classes
// (a subclass may override `execute`) and our own evaluation functions.
bool in_place_op(py::handle factor, std::string &op) {
    const bool plain = py::type::handle_of(factor).is(glob("CrossSectionalKernelFactor"));
    const bool grouped = !plain && py::type::handle_of(factor).is(glob("GroupKernelFactor"));
    if (!plain && !grouped) return false;
    op = py::str(factor.attr("op")).cast<std::string>();
    const std::size_t nparams = py::len(factor.attr("params"));
    if (py::len(factor.attr("sub_factors")) != 1) return false;
    if (plain) {
        if (op == "scale") return nparams == 1;
        return (op == "rank" || op == "demean" || op == "zscore") && nparams == 0;
    }
    return (op == "group_demean" || op == "group_rank" || op == "group_zscore") && nparams == 0;
}

bool in_place_chain(py::handle factor) {
    std::string op;
    if (!in_place_op(factor, op)) return false;
    py::object sub = py::list(factor.attr("sub_factors"))[0];
    return !is_instance_of(sub, "CrossSectionalFactor") || in_place_chain(sub);
}

frame::OutArray run_in_place(py::handle factor, py::object order_book_ids, py::object ctx) {
    std::string op;
    in_place_op(factor, op);
    py::object sub = py::list(factor.attr("sub_factors"))[0];
    frame::OutArray t = is_instance_of(sub, "CrossSectionalFactor")
                            ? run_in_place(sub, order_book_ids, ctx)
                            : exec_factor_array(sub, order_book_ids, ctx);
    if (op.rfind("group_", 0) == 0) {
        // the industry of every cell, from the classification the operator names
        py::object got = py::module_::import("tarnfold.industry")
                             .attr("industry_codes")(order_book_ids, ctx.attr("index"),
                                                     factor.attr("source"));
        GroupCodes codes(py::tuple(got)[0], op, t.view.rows, t.view.cols);
        const kern::GroupOp g = group_op(op);
        const kern::CodeView cv = codes.view;
        py::gil_scoped_release nogil;
        kern::group_rows(t.view.as_const(), cv, t.view, g);
        return t;
    }
    const double a = op == "scale" ? py::tuple(factor.attr("params"))[0].cast<double>() : 0.0;
    py::gil_scoped_release nogil;
    if (op == "rank") kern::rank_rows_pct(t.view.as_const(), t.view);
    else if (op == "zscore") kern::zscore_rows(t.view.as_const(), t.view);
    else if (op == "demean") kern::demean_rows(t.view.as_const(), t.view);
    else kern::scale_rows(t.view.as_const(), t.view, a);
    return t;
}

// The table of such a chain without a universe mask, or None when the
// chain does not qualify.
py::object exec_cross_sectional_in_place(py::handle factor, py::object order_book_ids,
                                         py::object ctx) {
    if (glob("_exec_factor").ptr() != g_own_exec_factor ||
        glob("_exec_cross_sectional").ptr() != g_own_exec_cross_sectional) {
        return py::none();
    }
    if (!in_place_chain(factor)) return py::none();
    frame::OutArray t = run_in_place(factor, order_book_ids, ctx);
    return table_frame(t.array, order_book_ids, ctx);
}

py::object exec_expr(py::object expr, py::object order_book_id, py::object ctx) {
    if (is_real(expr)) return expr;
    if (is_instance_of(expr, "LeafFactor") || is_instance_of(expr, "CrossSectionalFactor") ||
        is_instance_of(expr, "FixedFactor")) {
        return ctx.attr("get_factor_value")(expr, order_book_id);
    }
    Program program(expr);
    // The number of valid days is only needed when a constant feeds a
    // time-series operator; it is the mask's count.
    py::object mask = ctx.attr("get_mask_for")(order_book_id);
    const index_t nvalid = static_cast<index_t>(
        pyc::as_integer(glob("np").attr("count_nonzero")(mask), "get_mask_for"));
    program.run(ctx, order_book_id, nvalid);
    return program.root_as_python();
}

py::object exec_cross_sectional(py::object factor, py::object order_book_ids, py::object ctx) {
    if (ctx.attr("universe_mask").is_none()) {
        py::object done = exec_cross_sectional_in_place(factor, order_book_ids, ctx);
        if (!done.is_none()) return done;
    }
    py::list args;
    py::object exec_factor_fn = glob("_exec_factor");
    for (py::handle f : factor.attr("sub_factors")) {
        args.append(exec_factor_fn(f, order_book_ids, ctx));
    }
    py::object mask = ctx.attr("universe_mask");
    if (!mask.is_none()) {
        py::list masked;
        for (py::handle a : args) masked.append(a.attr("where")(mask));
        return factor.attr("execute")(*masked);
    }
    return factor.attr("execute")(*args);
}

py::object exec_fixed(py::object factor, py::object order_book_ids, py::object ctx) {
    py::object inner = factor.attr("factor");
    if (glob("is_cross_sectional")(inner).cast<bool>()) {
        return glob("_exec_cross_sectional")(inner, order_book_ids, ctx)[factor.attr(
            "order_book_id")];
    }
    // what the wrapped factor reads across instruments, computed over the
    // requested ones (the same tables the rest of the tree reads)
    py::object pinned = factor.attr("order_book_id");
    for (py::handle f : inner.attr("dependencies")) {
        if (is_instance_of(f, "CrossSectionalFactor") &&
            !py::reinterpret_borrow<py::object>(order_book_ids).contains(pinned)) {
            throw py::value_error(
                py::repr(factor).cast<std::string>() + ": " + py::repr(pinned).cast<std::string>() +
                " reads the cross-sectional factor " + py::repr(f).cast<std::string>() +
                ", which is computed over the requested instruments; add " +
                py::repr(pinned).cast<std::string>() + " to order_book_ids");
        }
    }
    compute_dependencies(inner, order_book_ids, ctx);
    return glob("_exec_expr")(inner.attr("expr"), factor.attr("order_book_id"), ctx);
}

}  // namespace

py::object apply_cs_kernel(const std::string &op, py::handle params, py::handle tables) {
    py::list ts(py::reinterpret_borrow<py::object>(tables));
    std::vector<double> p;
    for (py::handle v : params) p.push_back(v.cast<double>());
    const bool grouped = op.rfind("group_", 0) == 0;
    const std::size_t want = grouped ? 2 : 1;
    if (ts.size() != want) {
        throw py::type_error(op + ": expected " + std::to_string(want) + " table(s), got " +
                             std::to_string(ts.size()));
    }
    frame::FrameValues in = frame::frame_values(ts[0], op);
    frame::OutArray out = frame::new_column_major(in.view.rows, in.view.cols);
    if (grouped) {
        const kern::GroupOp g = group_op(op);
        GroupCodes codes(ts[1], op, in.view.rows, in.view.cols);
        const kern::CodeView cv = codes.view;
        py::gil_scoped_release nogil;
        kern::group_rows(in.view, cv, out.view, g);
        return out.array;
    }
    auto no_params = [&] {
        if (!p.empty()) throw py::value_error(op + ": takes no parameters");
    };
    if (op == "rank") {
        no_params();
        py::gil_scoped_release nogil;
        kern::rank_rows_pct(in.view, out.view);
    } else if (op == "zscore") {
        no_params();
        py::gil_scoped_release nogil;
        kern::zscore_rows(in.view, out.view);
    } else if (op == "demean") {
        no_params();
        py::gil_scoped_release nogil;
        kern::demean_rows(in.view, out.view);
    } else if (op == "scale") {
        if (p.size() != 1) throw py::value_error("scale: expected the parameter a");
        py::gil_scoped_release nogil;
        kern::scale_rows(in.view, out.view, p[0]);
    } else {
        throw py::value_error("unknown cross-sectional operation '" + op + "'");
    }
    return out.array;
}

void register_eval(py::module_ &m) {
    py::object ef = pyc::make_function(
        m, "_exec_factor", "(factor, order_book_ids, exec_context)",
        "在执行上下文中计算因子，返回 日期 x order_book_ids 的 DataFrame", &exec_factor,
        py::arg("factor"), py::arg("order_book_ids"), py::arg("exec_context"));
    m.attr("_exec_factor") = ef;
    g_own_exec_factor = ef.ptr();
    ef.inc_ref();  // kept for the life of the process
    py::object ee = pyc::make_function(
        m, "_exec_expr", "(expr, order_book_id, exec_context)",
        "对单个标的计算表达式，返回数值或右对齐的序列", &exec_expr, py::arg("expr"),
        py::arg("order_book_id"), py::arg("exec_context"));
    m.attr("_exec_expr") = ee;
    g_own_exec_expr = ee.release().ptr();  // kept for the life of the process
    py::object ecs = pyc::make_function(
        m, "_exec_cross_sectional", "(factor, order_book_ids, exec_context)",
        "计算截面因子", &exec_cross_sectional, py::arg("factor"), py::arg("order_book_ids"),
        py::arg("exec_context"));
    m.attr("_exec_cross_sectional") = ecs;
    g_own_exec_cross_sectional = ecs.release().ptr();  // kept for the life of the process
    m.attr("_exec_fixed") = pyc::make_function(
        m, "_exec_fixed", "(factor, order_book_ids, exec_context)",
        "计算固定标的因子", &exec_fixed, py::arg("factor"), py::arg("order_book_ids"),
        py::arg("exec_context"));
    m.attr("_apply_kernel") = pyc::make_function(
        m, "_apply_kernel", "(op, params, args)",
        "Runs one of the engine's operators on numbers and one-dimensional arrays.",
        [](const std::string &op, py::object params, py::object args) {
            return apply_kernel(op, params, args);
        },
        py::arg("op"), py::arg("params"), py::arg("args"));
    m.attr("_apply_cs_kernel") = pyc::make_function(
        m, "_apply_cs_kernel", "(op, params, tables)",
        "Runs one of the engine's cross-sectional operators on data frames.",
        [](const std::string &op, py::object params, py::object tables) {
            return apply_cs_kernel(op, params, tables);
        },
        py::arg("op"), py::arg("params"), py::arg("tables"));
}

}  // namespace tarnfold::engine
