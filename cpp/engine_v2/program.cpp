// Compiling expressions into flat programs and running them per instrument.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine_v2/engine.hpp"

namespace tarnfold::engine {

namespace {

std::string type_name(py::handle obj) {
    return py::str(py::type::handle_of(obj).attr("__name__")).cast<std::string>();
}

// `func, args = expr`, with the interpreter's own errors for anything that
// is not a two-item iterable.
std::pair<py::object, py::object> unpack_pair(py::handle expr) {
    PyObject *it = PyObject_GetIter(expr.ptr());
    if (!it) {
        PyErr_Clear();
        throw py::type_error("cannot unpack non-iterable " + type_name(expr) + " object");
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    py::object items[2];
    for (int k = 0; k < 2; ++k) {
        PyObject *item = PyIter_Next(iter.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw py::error_already_set();
            throw py::value_error("not enough values to unpack (expected 2, got " +
                                  std::to_string(k) + ")");
        }
        items[k] = py::reinterpret_steal<py::object>(item);
    }
    PyObject *extra = PyIter_Next(iter.ptr());
    if (extra) {
        Py_DECREF(extra);
#if PY_VERSION_HEX >= 0x030D0000
        if (PyList_Check(expr.ptr()) || PyTuple_Check(expr.ptr())) {
            throw py::value_error("too many values to unpack (expected 2, got " +
                                  std::to_string(py::len(expr)) + ")");
        }
#endif
        throw py::value_error("too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {items[0], items[1]};
}

}  // namespace

Program::Program(py::handle expr) { compile_roots({py::reinterpret_borrow<py::object>(expr)}); }

Program::Program(const std::vector<py::object> &exprs) { compile_roots(exprs); }

void Program::compile_roots(const std::vector<py::object> &exprs) {
    for (const py::object &e : exprs) roots_.push_back(compile(e));
    plan_buffers();
    ws_ = workspace();
}

bool Program::KernelKey::operator<(const KernelKey &o) const {
    if (op != o.op) return op < o.op;
    if (params != o.params) return params < o.params;
    return args < o.args;
}

void Program::remember(py::handle expr, int slot) {
    // Keep the expression alive so that its address stays its own.
    keep_.push_back(py::reinterpret_borrow<py::object>(expr));
    memo_[expr.ptr()] = slot;
}

int Program::add_node(Node node, py::handle expr, bool memoise) {
    nodes_.push_back(std::move(node));
    const int slot = static_cast<int>(nodes_.size()) - 1;
    if (memoise) remember(expr, slot);
    return slot;
}

// Depth-first over the expression with an explicit stack: a pair's node is
// added once all its arguments have theirs, so nodes come in evaluation
// order.
int Program::compile(py::handle root) {
    struct Pending {
        py::object expr, func;
        std::vector<py::object> args;
        std::size_t next = 0;
        std::vector<int> slots;
    };
    std::vector<Pending> stack;

    // The slot of a number, an input or an expression seen before; -1 after
    // pushing a pair still to compile.
    auto visit = [&](py::handle expr) -> int {
        auto found = memo_.find(expr.ptr());
        if (found != memo_.end()) return found->second;
        Node node;
        if (is_real(expr)) {
            const double v = PyFloat_AsDouble(expr.ptr());
            if (PyErr_Occurred()) throw py::error_already_set();
            std::uint64_t bits;
            std::memcpy(&bits, &v, sizeof bits);
            auto known = constants_.find(bits);
            if (known != constants_.end()) return known->second;
            node.kind = Kind::Const;
            node.obj = py::reinterpret_borrow<py::object>(expr);
            node.number = v;
            const int slot = add_node(std::move(node), expr, false);
            constants_[bits] = slot;
            return slot;
        }
        if (is_instance_of(expr, "LeafFactor") || is_instance_of(expr, "CrossSectionalFactor") ||
            is_instance_of(expr, "FixedFactor")) {
            // equal factors (a leaf named twice, the same cross-section
            // built twice) are one input
            if (inputs_.contains(expr)) {
                const int slot = inputs_[expr].cast<int>();
                remember(expr, slot);
                return slot;
            }
            node.kind = Kind::Input;
            node.obj = py::reinterpret_borrow<py::object>(expr);
            const int slot = add_node(std::move(node), expr, true);
            inputs_[expr] = slot;
            return slot;
        }
        auto [func, args] = unpack_pair(expr);
        Pending p;
        p.expr = py::reinterpret_borrow<py::object>(expr);
        p.func = func;
        for (py::handle arg : args) p.args.push_back(py::reinterpret_borrow<py::object>(arg));
        stack.push_back(std::move(p));
        return -1;
    };

    // The node of a pair whose arguments are compiled.
    auto finish = [&](Pending &p) -> int {
        Node node;
        py::object tag = py::getattr(p.func, "_tarnfold_op", py::none());
        if (!py::isinstance<py::str>(tag)) {
            node.kind = Kind::Foreign;
            node.obj = p.func;
            node.args = std::move(p.slots);
            return add_node(std::move(node), p.expr, false);
        }
        const std::string name = tag.cast<std::string>();
        node.op = find_op(name);
        if (!node.op) {
            throw py::value_error("operator " + describe(p.func) + ": unknown operation '" + name +
                                  "'");
        }
        if (static_cast<int>(p.slots.size()) != node.op->nargs) {
            throw py::type_error(name + ": expected " + std::to_string(node.op->nargs) +
                                 " argument(s), got " + std::to_string(p.slots.size()));
        }
        for (py::handle v : py::getattr(p.func, "_tarnfold_params", py::tuple())) {
            node.params.push_back(v.cast<double>());
        }
        const int np = static_cast<int>(node.params.size());
        if (np < node.op->min_params || np > node.op->max_params) {
            throw py::value_error(name + ": expected " + std::to_string(node.op->min_params) +
                                  " parameter(s), got " + std::to_string(np));
        }
        // A kernel over a Python function's output is never shared: the
        // function is called anew for each of its nodes.
        bool shared = true;
        for (int s : p.slots) shared = shared && nodes_[s].kind != Kind::Foreign;
        KernelKey key{node.op, {}, p.slots};
        for (double v : node.params) {
            std::uint64_t bits;
            std::memcpy(&bits, &v, sizeof bits);
            key.params.push_back(bits);
        }
        if (shared) {
            auto known = kernels_.find(key);
            if (known != kernels_.end()) {
                remember(p.expr, known->second);
                return known->second;
            }
        }
        node.kind = Kind::Kernel;
        for (int s : p.slots) nodes_[s].kernel_consumed = true;
        node.obj = p.func;
        node.args = std::move(p.slots);
        const int slot = add_node(std::move(node), p.expr, shared);
        if (shared) kernels_[std::move(key)] = slot;
        return slot;
    };

    int result = visit(root);
    while (!stack.empty()) {
        Pending &top = stack.back();
        if (top.next < top.args.size()) {
            py::object arg = top.args[top.next];
            const int slot = visit(arg);  // may push, moving `top`
            if (slot >= 0) {
                stack.back().slots.push_back(slot);
                ++stack.back().next;
            }
            continue;
        }
        Pending done = std::move(top);
        stack.pop_back();
        const int slot = finish(done);
        if (stack.empty()) {
            result = slot;
        } else {
            stack.back().slots.push_back(slot);
            ++stack.back().next;
        }
    }
    return result;
}

void Program::plan_buffers() {
    std::vector<int> last(nodes_.size(), -1);
    for (std::size_t k = 0; k < nodes_.size(); ++k)
        for (int s : nodes_[k].args) last[s] = static_cast<int>(k);
    std::vector<bool> root(nodes_.size(), false);
    for (int r : roots_) root[r] = true;
    for (std::size_t s = 0; s < nodes_.size(); ++s) {
        if (nodes_[s].kind != Kind::Kernel || root[s] || last[s] < 0) continue;
        nodes_[last[s]].release.push_back(static_cast<int>(s));
    }
}

Program::Workspace Program::workspace() const {
    Workspace ws;
    ws.slots.resize(nodes_.size());
    return ws;
}

Value Program::to_value(Node &node, Workspace::Slot &slot, py::handle obj) {
    if (py::isinstance<py::array>(obj)) {
        auto arr = py::reinterpret_borrow<py::array>(obj);
        if (arr.ndim() == 1 && arr.dtype().is(py::dtype::of<double>()) &&
            arr.strides(0) == static_cast<py::ssize_t>(sizeof(double))) {
            return Value::series(static_cast<const double *>(arr.data()), arr.shape(0));
        }
    } else if (is_real(obj)) {
        return Value::of(PyFloat_AsDouble(obj.ptr()));
    }
    py::object conv = py::module_::import("numpy").attr("ascontiguousarray")(
        obj, py::arg("dtype") = "float64");
    auto arr = py::reinterpret_borrow<py::array>(conv);
    if (arr.ndim() != 1) {
        throw py::type_error(describe(node.obj) +
                             ": expected a number or a one-dimensional "
                             "series, got an array of shape " +
                             py::str(conv.attr("shape")).cast<std::string>());
    }
    slot.buf.assign(static_cast<const double *>(arr.data()),
                    static_cast<const double *>(arr.data()) + arr.shape(0));
    return Value::series(slot.buf.data(), arr.shape(0));
}

py::object Program::value_to_python(const Value &v) {
    if (v.scalar) return py::float_(v.number);
    py::array_t<double> out(v.len);
    if (v.len) std::memcpy(out.mutable_data(), v.data, sizeof(double) * v.len);
    return out;
}

void Program::run_kernel(int at, Workspace &ws, index_t nvalid) const {
    const Node &node = nodes_[at];
    Workspace::Slot &slot = ws.slots[at];
    ws.args.clear();
    for (int s : node.args) ws.args.push_back(ws.slots[s].value);
    if (slot.buf.capacity() == 0 && !ws.pool.empty()) {
        slot.buf.swap(ws.pool.back());
        ws.pool.pop_back();
    }
    OpCall call{ws.args.data(),
                static_cast<int>(ws.args.size()),
                node.params.data(),
                static_cast<int>(node.params.size()),
                &slot.buf,
                &slot.aux,
                nvalid,
                node.op->name};
    slot.value = node.op->run(call);
    for (int s : node.release) {
        ws.pool.emplace_back();
        ws.pool.back().swap(ws.slots[s].buf);
    }
}

void Program::run(py::handle ctx, py::handle order_book_id, index_t nvalid) {
    for (std::size_t k = 0; k < nodes_.size(); ++k) {
        Node &node = nodes_[k];
        Workspace::Slot &slot = ws_.slots[k];
        switch (node.kind) {
            case Kind::Const:
                node.out = node.obj;
                slot.value = Value::of(node.number);
                break;
            case Kind::Input:
                node.out = ctx.attr("get_factor_value")(node.obj, order_book_id);
                if (node.kernel_consumed) slot.value = to_value(node, slot, node.out);
                break;
            case Kind::Foreign: {
                py::tuple call_args(node.args.size());
                for (std::size_t a = 0; a < node.args.size(); ++a) {
                    const int s = node.args[a];
                    call_args[a] = nodes_[s].kind == Kind::Kernel
                                       ? value_to_python(ws_.slots[s].value)
                                       : nodes_[s].out;
                }
                node.out = node.obj(*call_args);
                if (node.kernel_consumed) slot.value = to_value(node, slot, node.out);
                for (int s : node.release) {
                    ws_.pool.emplace_back();
                    ws_.pool.back().swap(ws_.slots[s].buf);
                }
                break;
            }
            case Kind::Kernel:
                try {
                    run_kernel(static_cast<int>(k), ws_, nvalid);
                } catch (const OpError &e) {
                    throw py::value_error(e.message);
                }
                break;
        }
    }
}

bool Program::has_foreign() const {
    for (const Node &n : nodes_)
        if (n.kind == Kind::Foreign) return true;
    return false;
}

std::vector<int> Program::input_nodes() const {
    std::vector<int> out;
    for (std::size_t k = 0; k < nodes_.size(); ++k)
        if (nodes_[k].kind == Kind::Input) out.push_back(static_cast<int>(k));
    return out;
}

void Program::run_packed(const std::vector<Packed> &inputs, index_t column, index_t nvalid,
                         const index_t *pos, const bool *valid, Workspace &ws) const {
    std::size_t next_input = 0;
    for (std::size_t k = 0; k < nodes_.size(); ++k) {
        const Node &node = nodes_[k];
        Workspace::Slot &slot = ws.slots[k];
        switch (node.kind) {
            case Kind::Const:
                slot.value = Value::of(node.number);
                break;
            case Kind::Input: {
                const Packed &p = inputs[next_input++];
                if (p.scalar) {
                    slot.value = Value::of(p.number);
                    break;
                }
                const long long tc = p.table_cols ? p.table_cols[column] : 0;
                if (tc >= 0 && (nvalid == 0 || pos[nvalid - 1] - pos[0] == nvalid - 1)) {
                    // valid days without a gap: the column itself
                    slot.value = Value::series(p.table + tc * p.col_stride + (nvalid ? pos[0] : 0),
                                               nvalid);
                    break;
                }
                slot.buf.resize(static_cast<std::size_t>(nvalid));
                double *dst = slot.buf.data();
                if (tc < 0) {
                    std::fill(dst, dst + nvalid, std::numeric_limits<double>::quiet_NaN());
                } else {
                    // every day from the first valid one to the last, the
                    // write position moving on at valid days only (no branch)
                    const double *src = p.table + tc * p.col_stride;
                    walk_valid_days(
                        valid, pos[0], pos[nvalid - 1],
                        [=](index_t t, index_t at) {
                            std::memcpy(dst + at, src + t, 8 * sizeof(double));
                        },
                        [=](index_t t, index_t at) { dst[at] = src[t]; });
                }
                slot.value = Value::series(dst, nvalid);
                break;
            }
            case Kind::Foreign:
                throw OpError{"a Python function cannot run in the packed loop"};
            case Kind::Kernel:
                run_kernel(static_cast<int>(k), ws, nvalid);
                break;
        }
    }
}

bool Program::root_is_kernel() const { return nodes_[roots_[0]].kind == Kind::Kernel; }
py::object Program::root_object() const { return nodes_[roots_[0]].out; }
py::object Program::root_as_python() const {
    return root_is_kernel() ? value_to_python(root_value()) : root_object();
}

}  // namespace tarnfold::engine
