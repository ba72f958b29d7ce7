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

// The cross-sectional and fixed factors of one or several trees, computed
// children first.  Each node is one entry of utils' dependency_graph (the
// graphs of several trees merged, equal factors counting once): the
// factor, whether an expression reads it per instrument (a dependency,
// handed to the context), and the positions of the nodes whose tables it
// takes directly (a cross-sectional sub-factor, the cross-sectional factor
// a fixed factor pins; -1 for a sub-factor evaluated per instrument).
class DependencyRun {
public:
    DependencyRun(const std::vector<py::object> &roots, py::handle order_book_ids, py::handle ctx,
                  CallScope &scope)
        : ids_(py::reinterpret_borrow<py::object>(order_book_ids)),
          ctx_(py::reinterpret_borrow<py::object>(ctx)),
          scope_(scope) {
        py::dict place;  // factor -> merged position
        for (const py::object &root : roots) {
            py::list graph = glob("dependency_graph")(root);
            std::vector<int> local;
            for (py::handle entry : graph) {
                auto t = entry.cast<py::tuple>();
                py::object factor = t[0];
                const bool dependency = t[1].cast<bool>();
                if (place.contains(factor)) {
                    const int at = place[factor].cast<int>();
                    nodes_[at].dependency = nodes_[at].dependency || dependency;
                    local.push_back(at);
                    continue;
                }
                Node node;
                node.factor = factor;
                node.dependency = dependency;
                for (py::handle k : t[2]) {
                    const int j = k.cast<int>();
                    node.inputs.push_back(j < 0 ? -1 : local[static_cast<std::size_t>(j)]);
                }
                node.cross_sectional = is_instance_of(node.factor, "CrossSectionalFactor");
                place[factor] = static_cast<int>(nodes_.size());
                local.push_back(static_cast<int>(nodes_.size()));
                nodes_.push_back(std::move(node));
            }
            // a cross-sectional or fixed root is its graph's last node
            if (!local.empty() && (is_instance_of(root, "CrossSectionalFactor") ||
                                   is_instance_of(root, "FixedFactor"))) {
                nodes_[static_cast<std::size_t>(local.back())].result = true;
                root_at_.push_back(local.back());
            } else {
                root_at_.push_back(-1);
            }
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
                if (j < 0 || --nodes_[j].readers > 0 || nodes_[j].dependency || nodes_[j].result) {
                    continue;
                }
                nodes_[j].value = py::object();  // read by nobody else
                nodes_[j].array = py::object();
            }
        }
    }

    // The last node's value (a cross-sectional root's table).
    py::object root_value() { return frame_of(nodes_.back()); }

    // The table of root k when it is cross-sectional (None otherwise).
    py::object root_table(std::size_t k) {
        const int at = root_at_[k];
        if (at < 0 || !nodes_[static_cast<std::size_t>(at)].cross_sectional) return py::none();
        return frame_of(nodes_[static_cast<std::size_t>(at)]);
    }

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
        bool result = false;  // a root's own table: kept
        std::vector<int> inputs;
        int readers = 0;   // nodes still to take this one's table
        py::object value;  // the table (cross-sectional) or the pinned values
        py::object array;  // our own array holding the table, when there is one
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
            run_own_op(node, *op, params);
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
    void run_own_op(Node &node, const CsOpDef &op, const std::vector<double> &params) {
        const int j = node.inputs.empty() ? -1 : node.inputs[0];
        frame::FrameValues in;
        frame::OutArray out;
        if (j < 0) {
            py::object sub = py::list(node.factor.attr("sub_factors"))[0];
            out = run_instrument_loop(sub, ids_, ctx_);
            in.view = out.view.as_const();
        } else {
            Node &child = nodes_[j];
            const bool exclusive = child.readers == 1 && !child.dependency && !child.result &&
                                   child.array && !child.value;
            if (exclusive) {
                out.array = child.array.cast<py::array_t<double, py::array::f_style>>();
                out.view = kern::MutView{out.array.mutable_data(), out.array.shape(0),
                                         out.array.shape(1), 1, out.array.shape(0)};
                in.view = out.view.as_const();
            } else {
                in = frame::frame_values(frame_of(child), describe(child.factor));
                out = new_table(in.view.rows, in.view.cols);
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
                throw py::value_error(
                    std::string(op.name) +
                    ": group codes must be an integer array shaped like the table");
            }
            codes_owner = arr;
            codes = kern::CodeView{arr.data(),
                                   static_cast<index_t>(arr.strides(0) / sizeof(std::int32_t)),
                                   static_cast<index_t>(arr.strides(1) / sizeof(std::int32_t))};
        }
        const int threads = context_threads(ctx_);
        {
            py::gil_scoped_release nogil;
            run_cs_op(op, in.view, op.grouped ? &codes : nullptr, out.view, params.data(), threads);
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
    std::vector<int> root_at_;  // per root: its node, or -1
};

std::vector<py::object> one(py::handle factor) {
    return {py::reinterpret_borrow<py::object>(factor)};
}

py::object exec_factor(py::object factor, py::object order_book_ids, py::object ctx) {
    ScopeGuard guard(ctx, order_book_ids);
    TableScope tables;
    if (is_instance_of(factor, "CrossSectionalFactor")) {
        return glob("_exec_cross_sectional")(factor, order_book_ids, ctx);
    }
    if (own_functions()) DependencyRun(one(factor), order_book_ids, ctx, guard.scope()).run(false);
    else compute_dependencies_generic(factor, order_book_ids, ctx, guard.scope());
    frame::OutArray out = run_instrument_loop(factor, order_book_ids, ctx);
    return table_frame(out.array, order_book_ids, ctx);
}

// The dependencies (parts read per instrument) of each factor.
std::vector<std::vector<py::object>> dependencies_of(const std::vector<py::object> &factors) {
    std::vector<std::vector<py::object>> out;
    for (const py::object &f : factors) {
        std::vector<py::object> deps;
        for (py::handle entry : glob("dependency_graph")(f)) {
            auto t = entry.cast<py::tuple>();
            if (t[1].cast<bool>()) deps.push_back(t[0]);
        }
        out.push_back(std::move(deps));
    }
    return out;
}

// Dependencies kept in the context at a time while several factors are
// evaluated together: factors are taken in groups whose dependencies stay
// within this number (each is a date x instrument table).
constexpr std::size_t kGroupDependencies = 8;

// Several factors evaluated in one context: each table equals what
// _exec_factor gives for that factor alone.  A part the factors have in
// common (a cross-sectional factor, an expression read per instrument) is
// computed once; factors are taken in groups so that only a few
// dependency tables are held at a time.
py::object exec_factors(py::object factors, py::object order_book_ids, py::object ctx) {
    std::vector<py::object> fs;
    for (py::handle f : factors) fs.push_back(py::reinterpret_borrow<py::object>(f));
    py::list out(fs.size());
    ScopeGuard guard(ctx, order_book_ids);
    TableScope tables;
    if (!own_functions()) {
        for (std::size_t k = 0; k < fs.size(); ++k)
            out[k] = glob("_exec_factor")(fs[k], order_book_ids, ctx);
        return out;
    }
    const std::vector<std::vector<py::object>> deps = dependencies_of(fs);
    // groups of consecutive factors
    std::vector<std::size_t> group_end;
    {
        py::set held;
        std::size_t start = 0;
        for (std::size_t k = 0; k < fs.size(); ++k) {
            py::set more;
            for (const py::object &d : deps[k])
                if (!held.contains(d)) more.add(d);
            if (k > start && held.size() + more.size() > kGroupDependencies) {
                group_end.push_back(k);
                start = k;
                held = py::set();
            }
            for (const py::object &d : deps[k]) held.add(d);
        }
        group_end.push_back(fs.size());
    }
    // the last group reading each dependency
    py::dict last_group;
    for (std::size_t g = 0, k = 0; g < group_end.size(); ++g)
        for (; k < group_end[g]; ++k)
            for (const py::object &d : deps[k]) last_group[d] = py::int_(g);
    const bool can_forget = py::hasattr(ctx, "_forget");
    std::size_t begin = 0;
    for (std::size_t g = 0; g < group_end.size(); ++g) {
        const std::size_t end = group_end[g];
        std::vector<py::object> group(fs.begin() + static_cast<std::ptrdiff_t>(begin),
                                      fs.begin() + static_cast<std::ptrdiff_t>(end));
        DependencyRun run(group, order_book_ids, ctx, guard.scope());
        run.run(false);
        std::vector<py::object> plain;
        std::vector<std::size_t> plain_at;
        for (std::size_t k = 0; k < group.size(); ++k) {
            if (is_instance_of(group[k], "CrossSectionalFactor")) {
                out[begin + k] = run.root_table(k);
            } else {
                plain.push_back(group[k]);
                plain_at.push_back(begin + k);
            }
        }
        std::vector<frame::OutArray> loops = run_instrument_loops(plain, order_book_ids, ctx);
        for (std::size_t k = 0; k < plain.size(); ++k) {
            frame::OutArray t = loops.empty() ? run_instrument_loop(plain[k], order_book_ids, ctx)
                                              : loops[k];
            out[plain_at[k]] = table_frame(t.array, order_book_ids, ctx);
        }
        if (can_forget) {
            for (std::size_t k = begin; k < end; ++k)
                for (const py::object &d : deps[k]) {
                    if (!last_group.contains(d) || last_group[d].cast<std::size_t>() != g) continue;
                    last_group.attr("pop")(d);
                    if (guard.scope().values.contains(d)) guard.scope().values.attr("pop")(d);
                    ctx.attr("_forget")(d);
                }
        }
        begin = end;
    }
    return out;
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
    TableScope tables;
    if (!own_functions()) {
        py::dict &computed = guard.scope().tables;
        if (computed.contains(factor)) return computed[factor];
        py::object table = exec_cross_sectional_generic(factor, order_book_ids, ctx);
        computed[factor] = table;
        return table;
    }
    DependencyRun run(one(factor), order_book_ids, ctx, guard.scope());
    run.run(false);
    return run.root_value();
}

py::object exec_fixed(py::object factor, py::object order_book_ids, py::object ctx) {
    ScopeGuard guard(ctx, order_book_ids);
    TableScope tables;
    if (!own_functions()) return exec_fixed_generic(factor, order_book_ids, ctx, guard.scope());
    DependencyRun run(one(factor), order_book_ids, ctx, guard.scope());
    run.run(true);
    return run.fixed_root();
}

}  // namespace

bool own_exec_expr(py::handle fn) { return fn.ptr() == g_own_exec_expr; }

bool own_functions() {
    return glob("_exec_factor").ptr() == g_own_exec_factor &&
           glob("_exec_expr").ptr() == g_own_exec_expr &&
           glob("_exec_cross_sectional").ptr() == g_own_exec_cross_sectional &&
           glob("_exec_fixed").ptr() == g_own_exec_fixed;
}

ScopeGuard::ScopeGuard(py::handle ctx, py::handle ids) : scope_(nullptr), opened_(false) {
    if (!t_scopes.empty() && t_scopes.back()->ctx == ctx.ptr() &&
        t_scopes.back()->ids == ids.ptr()) {
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
    m.attr("_exec_factors") = pyc::make_function(
        m, "_exec_factors", "(factors, order_book_ids, exec_context)",
        "在同一执行上下文中计算多个因子，返回与各自 _exec_factor 结果相同的 DataFrame 列表；"
        "共同的部分只计算一次",
        &exec_factors, py::arg("factors"), py::arg("order_book_ids"), py::arg("exec_context"));
    py::object ee = pyc::make_function(m, "_exec_expr", "(expr, order_book_id, exec_context)",
                                       "对单个标的计算表达式，返回数值或右对齐的序列", &exec_expr,
                                       py::arg("expr"), py::arg("order_book_id"),
                                       py::arg("exec_context"));
    m.attr("_exec_expr") = ee;
    g_own_exec_expr = ee.release().ptr();
    py::object ecs = pyc::make_function(m, "_exec_cross_sectional",
                                        "(factor, order_book_ids, exec_context)", "计算截面因子",
                                        &exec_cross_sectional, py::arg("factor"),
                                        py::arg("order_book_ids"), py::arg("exec_context"));
    m.attr("_exec_cross_sectional") = ecs;
    g_own_exec_cross_sectional = ecs.release().ptr();
    py::object efx = pyc::make_function(m, "_exec_fixed", "(factor, order_book_ids, exec_context)",
                                        "计算固定标的因子", &exec_fixed, py::arg("factor"),
                                        py::arg("order_book_ids"), py::arg("exec_context"));
    m.attr("_exec_fixed") = efx;
    g_own_exec_fixed = efx.release().ptr();
}

}  // namespace tarnfold::engine
