// The evaluation paths that exist because callers may substitute parts of
// the engine: a function of their own in a `(func, args)` node, an
// execution context of their own, or replacements of the module's _exec_*
// functions.  These follow the evaluation contract step by step, calling
// the context's methods and the module globals; the fast paths are in
// evaluate.cpp.
#include "common/frame.hpp"
#include "common/pyclass.hpp"
#include "engine_v2/engine.hpp"

namespace tarnfold::engine {

namespace {

// The valid-day mask of one instrument as a bool array of length ndays.
py::array_t<bool> mask_array(py::handle mask, py::handle order_book_id, index_t ndays) {
    py::array_t<bool> arr;
    if (py::isinstance<py::array_t<bool>>(mask) &&
        py::reinterpret_borrow<py::array>(mask).dtype().is(py::dtype::of<bool>())) {
        arr = py::reinterpret_borrow<py::array_t<bool>>(mask);
    } else {
        arr = py::array_t<bool>(frame::numpy().attr("asarray")(mask).attr("astype")("bool"));
    }
    if (arr.ndim() != 1 || arr.shape(0) != ndays) {
        throw py::value_error(
            "get_mask_for(" + py::repr(order_book_id).cast<std::string>() +
            "): expected a boolean array of length " + std::to_string(ndays) + ", got shape " +
            py::str(py::reinterpret_borrow<py::object>(arr).attr("shape")).cast<std::string>());
    }
    return arr;
}

// Writes the value of one instrument's expression into its column.
void assign(py::array &result, double *column, const std::vector<index_t> &pos, py::ssize_t col,
            py::handle s) {
    const auto npos = static_cast<index_t>(pos.size());
    if (is_real(s)) {
        const double v = PyFloat_AsDouble(s.ptr());
        if (PyErr_Occurred()) throw py::error_already_set();
        fill_constant(column, pos.data(), npos, v);
        return;
    }
    if (py::isinstance<py::array>(s)) {
        auto arr = py::reinterpret_borrow<py::array>(s);
        if (arr.ndim() == 1 && arr.dtype().is(py::dtype::of<double>()) &&
            arr.strides(0) == static_cast<py::ssize_t>(sizeof(double)) && arr.shape(0) > 0 &&
            arr.shape(0) <= npos) {
            write_series(column, pos.data(), npos, static_cast<const double *>(arr.data()),
                         arr.shape(0));
            return;
        }
    }
    assign_through_numpy(result, pos.data(), npos, col, s);
}

}  // namespace

void assign_through_numpy(py::array &result, const index_t *pos, index_t npos, py::ssize_t col,
                          py::handle s) {
    py::array_t<long long> indexes(static_cast<py::ssize_t>(npos));
    for (index_t k = 0; k < npos; ++k) indexes.mutable_data()[k] = pos[k];
    const py::ssize_t len = py::len(s);
    py::object tail = py::reinterpret_borrow<py::object>(
        indexes)[py::slice(py::int_(-len), py::none(), py::none())];
    result[py::make_tuple(tail, py::int_(col))] = s;
}

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
            if (v.scalar) fill_constant(column, pos.data(), nvalid, v.number);
            else if (v.len > 0 && v.len <= nvalid)
                write_series(column, pos.data(), nvalid, v.data, v.len);
            else assign_through_numpy(result, pos.data(), nvalid, i, program->root_as_python());
        }
        ++i;
    }
}

void compute_dependencies_generic(py::handle factor, py::handle order_book_ids, py::handle ctx,
                                  CallScope &scope) {
    py::object deps = py::module_::import("builtins").attr("set")(factor.attr("dependencies"));
    for (py::handle f : deps) {
        if (scope.values.contains(f)) continue;  // computed earlier in this call
        py::object value;
        if (is_instance_of(f, "CrossSectionalFactor")) {
            value = glob("_exec_cross_sectional")(f, order_book_ids, ctx);
        } else if (is_instance_of(f, "FixedFactor")) {
            value = glob("_exec_fixed")(f, order_book_ids, ctx);
        } else {
            continue;
        }
        ctx.attr("update")(f, value);
        scope.values[f] = value;
    }
}

py::object exec_cross_sectional_generic(py::handle factor, py::handle order_book_ids,
                                        py::handle ctx) {
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

void check_pinned(py::handle factor, py::handle order_book_ids) {
    py::object inner = factor.attr("factor");
    py::object pinned = factor.attr("order_book_id");
    if (py::reinterpret_borrow<py::object>(order_book_ids).contains(pinned)) return;
    const std::string id = py::repr(pinned).cast<std::string>();
    const std::string head = "order_book_ids: expected " + id +
                             " among them, got a list without it; " + describe(factor) + " reads ";
    const std::string tail = ", which is computed over order_book_ids only; add " + id +
                             " to order_book_ids";
    if (glob("is_cross_sectional")(inner).cast<bool>()) {
        raise_error(glob("PinnedInstrumentError"),
                    head + "the cross-sectional factor it pins" + tail);
    }
    for (py::handle f : inner.attr("dependencies")) {
        if (is_instance_of(f, "CrossSectionalFactor")) {
            raise_error(glob("PinnedInstrumentError"),
                        head + "the cross-sectional factor " + describe(f) + tail);
        }
    }
}

py::object exec_fixed_generic(py::handle factor, py::handle order_book_ids, py::handle ctx,
                              CallScope &scope) {
    py::object inner = factor.attr("factor");
    check_pinned(factor, order_book_ids);
    if (glob("is_cross_sectional")(inner).cast<bool>()) {
        return glob("_exec_cross_sectional")(inner, order_book_ids,
                                             ctx)[factor.attr("order_book_id")];
    }
    // what the wrapped factor reads across instruments, computed over the
    // requested ones (the same tables the rest of the tree reads)
    compute_dependencies_generic(inner, order_book_ids, ctx, scope);
    return glob("_exec_expr")(inner.attr("expr"), factor.attr("order_book_id"), ctx);
}

}  // namespace tarnfold::engine
