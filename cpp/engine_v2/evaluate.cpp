// Node evaluation: _exec_factor, _exec_expr, _exec_cross_sectional and
// _exec_fixed.
//
// A factor's cross-sectional and fixed parts form a graph (utils'
// dependency_graph): each is computed once per call, children first, in a
// loop rather than by recursion, so a tree of any depth evaluates and a
// part shared by many others costs one computation.  The rest of the tree
// is compiled once and run per instrument on the instrument's right-aligned
// valid-day series, writing straight into one preallocated column-major
// array; the data frame is built once at the end.  Our own cross-sectional
// operators run on that array in place.  Callers' substitutes (functions in
// nodes, contexts, the module's functions) take the paths of
// evaluate_generic.cpp.
#include <cmath>
#include <cstring>
#include <limits>

#include "common/frame.hpp"
#include "common/pyclass.hpp"
#include "engine_ops/cs_ops.hpp"
#include "engine_v2/engine.hpp"

namespace tarnfold::engine {

namespace {

using kern::kNaN;

// Our own evaluation functions, to tell whether the module's have been
// substituted.
PyObject *g_own_exec_expr = nullptr;
PyObject *g_own_exec_factor = nullptr;
PyObject *g_own_exec_cross_sectional = nullptr;
PyObject *g_own_exec_fixed = nullptr;

thread_local std::vector<CallScope *> t_scopes;

using LongArray = py::array_t<long long, py::array::c_style | py::array::forcecast>;

// The per-instrument loop for our own context and an expression made only
// of our operators: the context hands over its valid-day masks and every
// input packed instrument after instrument, and the whole loop runs in C++
// without the GIL.  Returns false (nothing written) when that is not
// possible; the generic loop then runs.
bool run_packed_loop(py::handle expr, double shift, py::handle order_book_ids, py::handle ctx,
                     frame::OutArray &out, std::unique_ptr<Program> &program) {
    if (!py::hasattr(ctx, "_engine_bulk")) return false;
    py::object bulk = ctx.attr("_engine_bulk")(order_book_ids);
    if (bulk.is_none()) return false;
    auto parts = bulk.cast<py::tuple>();
    auto valid = parts[0].cast<py::array_t<bool>>();
    auto cols = parts[1].cast<LongArray>();
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
        auto offs = parts[2].cast<LongArray>();
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
            auto tcols = parts3[2].cast<LongArray>();
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
            auto offs = pair[1].cast<LongArray>();
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
        py::array result = out.array;
        assign_through_numpy(result, days + day_offsets[col[failed]], nvalid[failed], failed,
                             program->root_as_python());
    }
    return true;
}

// One of our own cross-sectional operators that can run on a table computed
// here (our own class, so `execute` is ours; one sub-factor), or null.
const CsOpDef *own_cs_op(py::handle factor, std::vector<double> &params) {
    const bool plain = py::type::handle_of(factor).is(glob("CrossSectionalKernelFactor"));
    const bool grouped = !plain && py::type::handle_of(factor).is(glob("GroupKernelFactor"));
    if (!plain && !grouped) return nullptr;
    const CsOpDef *op = find_cs_op(py::str(factor.attr("op")).cast<std::string>());
    if (!op || op->grouped != grouped || py::len(factor.attr("sub_factors")) != 1) return nullptr;
    params.clear();
    for (py::handle p : factor.attr("params")) params.push_back(p.cast<double>());
    return static_cast<int>(params.size()) == op->nparams ? op : nullptr;
}

// The cross-sectional and fixed factors of one tree, computed children
// first.  Each node is one entry of utils' dependency_graph: the factor,
// whether an expression reads it per instrument (a dependency, handed to
// the context), and the positions of the nodes whose tables it takes
// directly (a cross-sectional sub-factor, the cross-sectional factor a
// fixed factor pins; -1 for a sub-factor evaluated per instrument).
class DependencyRun {
public:
    DependencyRun(py::handle root, py::handle order_book_ids, py::handle ctx, CallScope &scope)
        : ids_(py::reinterpret_borrow<py::object>(order_book_ids)),
          ctx_(py::reinterpret_borrow<py::object>(ctx)),
          scope_(scope) {
        py::list graph = glob("dependency_graph")(root);
        const std::size_t n = py::len(graph);
        nodes_.reserve(n);
        for (py::handle entry : graph) {
            auto t = entry.cast<py::tuple>();
            Node node;
            node.factor = t[0];
            node.dependency = t[1].cast<bool>();
            for (py::handle k : t[2]) node.inputs.push_back(k.cast<int>());
            node.cross_sectional = is_instance_of(node.factor, "CrossSectionalFactor");
            nodes_.push_back(std::move(node));
        }
        for (const Node &node : nodes_)
            for (int k : node.inputs)
                if (k >= 0) ++nodes_[k].readers;
    }

    // Computes every node, or all but the last one (the root of a fixed
    // factor asked for by _exec_fixed).
    void run(bool skip_root) {
        for (const Node &node : nodes_)
            if (!node.cross_sectional) check_pinned(node.factor, ids_);
        const std::size_t n = nodes_.size() - (skip_root && !nodes_.empty() ? 1 : 0);
        for (std::size_t k = 0; k < n; ++k) {
            Node &node = nodes_[k];
            if (node.dependency && scope_.values.contains(node.factor)) {
                node.value = scope_.values[node.factor];  // computed earlier in this call
            } else {
                if (node.cross_sectional) cross_sectional(node);
                else node.value = fixed(node);
                if (node.dependency) {
                    ctx_.attr("update")(node.factor, frame_of(node));
                    scope_.values[node.factor] = node.value;
                }
            }
            for (int j : node.inputs) {
                if (j < 0 || --nodes_[j].readers > 0 || nodes_[j].dependency ||
                    j + 1 == static_cast<int>(nodes_.size())) {
                    continue;
                }
                nodes_[j].value = py::object();  // read by nobody else
                nodes_[j].array = py::object();
            }
        }
    }

    // The last node's value (a cross-sectional root's table).
    py::object root_value() { return frame_of(nodes_.back()); }

    // The value of a fixed node (the root, for _exec_fixed).
    py::object fixed_root() {
        if (nodes_.empty()) throw py::value_error("_exec_fixed: expected a fixed factor");
        return fixed(nodes_.back());
    }

private:
    struct Node {
        py::object factor;
        bool dependency = false;
        bool cross_sectional = false;
        std::vector<int> inputs;
        int readers = 0;      // nodes still to take this one's table
        py::object value;     // the table (cross-sectional) or the pinned values
        py::object array;     // our own array holding the table, when there is one
    };

    // A cross-sectional node's table as a frame (made when first asked for).
    py::object frame_of(Node &node) {
        if (!node.value && node.array) node.value = table_frame(node.array, ids_, ctx_);
        return node.value;
    }

    void cross_sectional(Node &node) {
        py::object factor = node.factor;
        py::object mask = ctx_.attr("universe_mask");
        std::vector<double> params;
        const CsOpDef *op = mask.is_none() ? own_cs_op(factor, params) : nullptr;
        if (op) {
            run_cs_op(node, *op, params);
            return;
        }
        py::list args;
        std::size_t k = 0;
        for (py::handle sub : factor.attr("sub_factors")) {
            const int j = k < node.inputs.size() ? node.inputs[k] : -1;
            ++k;
            if (j >= 0) {
                args.append(frame_of(nodes_[j]));
            } else {
                frame::OutArray t = run_instrument_loop(sub, ids_, ctx_);
                args.append(table_frame(t.array, ids_, ctx_));
            }
        }
        if (!mask.is_none()) {
            py::list masked;
            for (py::handle a : args) masked.append(a.attr("where")(mask));
            args = masked;
        }
        node.value = factor.attr("execute")(*args);
    }

    // One of our operators on the table of its sub-factor: in place when
    // nothing else reads that table.
    void run_cs_op(Node &node, const CsOpDef &op, const std::vector<double> &params) {
        const int j = node.inputs.empty() ? -1 : node.inputs[0];
        frame::FrameValues in;
        frame::OutArray out;
        if (j < 0) {
            py::object sub = py::list(node.factor.attr("sub_factors"))[0];
            out = run_instrument_loop(sub, ids_, ctx_);
            in.view = out.view.as_const();
        } else {
            Node &child = nodes_[j];
            const bool exclusive = child.readers == 1 && !child.dependency && child.array &&
                                   !child.value;
            if (exclusive) {
                out.array = child.array.cast<py::array_t<double, py::array::f_style>>();
                out.view = kern::MutView{out.array.mutable_data(), out.array.shape(0),
                                         out.array.shape(1), 1, out.array.shape(0)};
                in.view = out.view.as_const();
            } else {
                in = frame::frame_values(frame_of(child), describe(child.factor));
                out = frame::new_column_major(in.view.rows, in.view.cols);
            }
        }
        py::object codes_owner;
        kern::CodeView codes;
        if (op.grouped) {
            // the industry of every cell, from the classification the
            // operator names
            codes_owner = node.factor.attr("_codes")(ids_, ctx_.attr("index"));
            auto arr = py::array_t<std::int32_t, py::array::forcecast>::ensure(codes_owner);
            if (!arr || arr.ndim() != 2 || arr.shape(0) != in.view.rows ||
                arr.shape(1) != in.view.cols) {
                throw py::value_error(std::string(op.name) +
                                      ": group codes must be an integer array shaped like the table");
            }
            codes_owner = arr;
            codes = kern::CodeView{arr.data(),
                                   static_cast<index_t>(arr.strides(0) / sizeof(std::int32_t)),
                                   static_cast<index_t>(arr.strides(1) / sizeof(std::int32_t))};
        }
        {
            py::gil_scoped_release nogil;
            op.run(in.view, op.grouped ? &codes : nullptr, out.view, params.data());
        }
        node.array = out.array;
        node.value = py::object();
    }

    py::object fixed(Node &node) {
        py::object inner = node.factor.attr("factor");
        py::object pinned = node.factor.attr("order_book_id");
        if (!node.inputs.empty() && node.inputs[0] >= 0) {
            return frame_of(nodes_[node.inputs[0]])[pinned];
        }
        return glob("_exec_expr")(inner.attr("expr"), pinned, ctx_);
    }

    py::object ids_, ctx_;
    CallScope &scope_;
    std::vector<Node> nodes_;
};

py::object exec_factor(py::object factor, py::object order_book_ids, py::object ctx) {
    ScopeGuard guard(ctx, order_book_ids);
    if (is_instance_of(factor, "CrossSectionalFactor")) {
        return glob("_exec_cross_sectional")(factor, order_book_ids, ctx);
    }
    if (own_functions()) DependencyRun(factor, order_book_ids, ctx, guard.scope()).run(false);
    else compute_dependencies_generic(factor, order_book_ids, ctx, guard.scope());
    frame::OutArray out = run_instrument_loop(factor, order_book_ids, ctx);
    return table_frame(out.array, order_book_ids, ctx);
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
    ScopeGuard guard(ctx, order_book_ids);
    if (!own_functions()) {
        py::dict &tables = guard.scope().tables;
        if (tables.contains(factor)) return tables[factor];
        py::object table = exec_cross_sectional_generic(factor, order_book_ids, ctx);
        tables[factor] = table;
        return table;
    }
    DependencyRun run(factor, order_book_ids, ctx, guard.scope());
    run.run(false);
    return run.root_value();
}

py::object exec_fixed(py::object factor, py::object order_book_ids, py::object ctx) {
    ScopeGuard guard(ctx, order_book_ids);
    if (!own_functions()) return exec_fixed_generic(factor, order_book_ids, ctx, guard.scope());
    DependencyRun run(factor, order_book_ids, ctx, guard.scope());
    run.run(true);
    return run.fixed_root();
}

}  // namespace

bool own_functions() {
    return glob("_exec_factor").ptr() == g_own_exec_factor &&
           glob("_exec_expr").ptr() == g_own_exec_expr &&
           glob("_exec_cross_sectional").ptr() == g_own_exec_cross_sectional &&
           glob("_exec_fixed").ptr() == g_own_exec_fixed;
}

ScopeGuard::ScopeGuard(py::handle ctx, py::handle ids) : scope_(nullptr), opened_(false) {
    if (!t_scopes.empty() && t_scopes.back()->ctx == ctx.ptr() && t_scopes.back()->ids == ids.ptr()) {
        scope_ = t_scopes.back();
        return;
    }
    scope_ = new CallScope{ctx.ptr(), ids.ptr(), py::dict(), py::dict()};
    t_scopes.push_back(scope_);
    opened_ = true;
}

ScopeGuard::~ScopeGuard() {
    if (!opened_) return;
    t_scopes.pop_back();
    delete scope_;
}

frame::OutArray run_instrument_loop(py::handle factor, py::handle order_book_ids, py::handle ctx) {
    const index_t ndays = pyc::as_integer(ctx.attr("ndays"), "exec_context.ndays: expected an integer");
    const py::ssize_t n = py::len(order_book_ids);
    if (ndays < 0) throw py::value_error("exec_context.ndays: expected a count, got a negative number");
    // Columns start as NaN: the packed loop fills each one just before
    // writing it (while it is in cache), the generic loop all at once.
    frame::OutArray out = frame::new_column_major(ndays, n);

    py::object expr = factor.attr("expr");
    const double shift = py::float_(factor.attr("shift")).cast<double>();
    py::object exec_expr_fn = glob("_exec_expr");
    const bool own_expr = exec_expr_fn.ptr() == g_own_exec_expr;
    std::unique_ptr<Program> program;
    if (!(own_expr && run_packed_loop(expr, shift, order_book_ids, ctx, out, program))) {
        std::fill(out.view.data, out.view.data + ndays * n, kNaN);
        run_generic_loop(expr, shift, order_book_ids, ctx, out, program, own_expr, exec_expr_fn);
    }
    return out;
}

py::object table_frame(py::handle values, py::handle order_book_ids, py::handle ctx) {
    return glob("pd").attr("DataFrame")(py::arg("index") = ctx.attr("index"),
                                        py::arg("columns") = order_book_ids,
                                        py::arg("data") = values, py::arg("copy") = false);
}

void register_eval(py::module_ &m) {
    // Our own functions are kept for the life of the process, so that
    // their addresses tell them from substitutes.
    py::object ef = pyc::make_function(
        m, "_exec_factor", "(factor, order_book_ids, exec_context)",
        "在执行上下文中计算因子，返回 日期 x order_book_ids 的 DataFrame", &exec_factor,
        py::arg("factor"), py::arg("order_book_ids"), py::arg("exec_context"));
    m.attr("_exec_factor") = ef;
    g_own_exec_factor = ef.release().ptr();
    py::object ee = pyc::make_function(
        m, "_exec_expr", "(expr, order_book_id, exec_context)",
        "对单个标的计算表达式，返回数值或右对齐的序列", &exec_expr, py::arg("expr"),
        py::arg("order_book_id"), py::arg("exec_context"));
    m.attr("_exec_expr") = ee;
    g_own_exec_expr = ee.release().ptr();
    py::object ecs = pyc::make_function(
        m, "_exec_cross_sectional", "(factor, order_book_ids, exec_context)",
        "计算截面因子", &exec_cross_sectional, py::arg("factor"), py::arg("order_book_ids"),
        py::arg("exec_context"));
    m.attr("_exec_cross_sectional") = ecs;
    g_own_exec_cross_sectional = ecs.release().ptr();
    py::object efx = pyc::make_function(
        m, "_exec_fixed", "(factor, order_book_ids, exec_context)",
        "计算固定标的因子", &exec_fixed, py::arg("factor"), py::arg("order_book_ids"),
        py::arg("exec_context"));
    m.attr("_exec_fixed") = efx;
    g_own_exec_fixed = efx.release().ptr();
}

}  // namespace tarnfold::engine
