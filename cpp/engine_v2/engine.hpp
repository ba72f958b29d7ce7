// Shared declarations of the eval_core extension module.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/frame.hpp"
#include "engine_ops/ops.hpp"

namespace tarnfold::engine {

namespace py = pybind11;

// Walks the days from..last of an instrument with valid-day flags `valid`,
// `at` counting the valid days before each: day(t, at) on each day, or
// week(t, at) for 8 days from t that are all valid (most weeks of most
// instruments), which then stands for day() on each of them.
template <typename Week, typename Day>
inline void walk_valid_days(const bool *valid, index_t from, index_t last, Week week, Day day) {
    index_t at = 0, t = from;
    for (; t + 8 <= last + 1; t += 8) {
        std::uint64_t flags;
        std::memcpy(&flags, valid + t, sizeof flags);
        if (flags == 0x0101010101010101ull) {
            week(t, at);
            at += 8;
            continue;
        }
        for (index_t u = t; u < t + 8; ++u) {
            day(u, at);
            at += valid[u];
        }
    }
    for (; t <= last; ++t) {
        day(t, at);
        at += valid[t];
    }
}

// A module global looked up at call time, so that tests and users can
// substitute `mivada`, the factor classes, the helpers and the context.
py::object glob(const char *name);

// isinstance(obj, <module global `name`>)
bool is_instance_of(py::handle obj, const char *name);
// isinstance(obj, numbers.Real)
bool is_real(py::handle obj);
// A factor (or any object) for an error message: its repr, shortened.
std::string describe(py::handle obj);
// Raises the Python exception `type` with `message`.
[[noreturn]] void raise_error(py::handle type, const std::string &message);

// An expression compiled into a flat program: nodes in evaluation order,
// each reading earlier slots.  Our operators (a `func` carrying
// `_tarnfold_op`) run in C++; leaves and cross-sectional/fixed factors are
// inputs served by the execution context; any other `func` is called as
// given with its evaluated arguments.  Compiling and running never recurse,
// so an expression of any depth runs.  Parts that are the same computation
// (the same operator and parameters on the same inputs, however the tree
// was built) are compiled once, also across the roots of a program made of
// several expressions.  The output buffers of our operators are reused as
// soon as their last reader has run.
class Program {
public:
    // Compiles `expr`; raises the interpreter's errors for a malformed
    // pair and ValueError/TypeError for a badly formed operator.
    explicit Program(py::handle expr);
    // Several expressions evaluated together (roots in the order given).
    explicit Program(const std::vector<py::object> &exprs);

    // The numeric state of one run: the values and buffers of every node.
    // The compiled program is shared; each thread runs with a workspace of
    // its own.
    struct Workspace {
        struct Slot {
            std::vector<double> buf, aux;
            Value value;
        };
        std::vector<Slot> slots;
        std::vector<std::vector<double>> pool;  // free output buffers
        std::vector<Value> args;
    };
    Workspace workspace() const;

    // Evaluates the expression for one instrument.  `nvalid` is the
    // instrument's number of valid days (-1 when unknown: a constant fed
    // to a time-series operator is then an error).
    void run(py::handle ctx, py::handle order_book_id, index_t nvalid);

    // Bulk evaluation, for a context that hands over every instrument's
    // values at once: `inputs` gives, for each node returned by
    // input_nodes(), a constant or a column-major date x column table (a
    // leaf, a cross-sectional or fixed dependency) and the table column
    // of each context column; the instrument's series is its column at its
    // valid days: `pos` (ascending date positions) and `valid` (the
    // instrument's valid-day flags by date position).  Where the valid
    // days have no gap the series is the column itself.
    // Touches no Python object, so it may run without the GIL, one
    // workspace per thread.
    struct Packed {
        bool scalar = false;
        double number = 0.0;
        const double *table = nullptr;
        long long col_stride = 0;               // elements between table columns
        const long long *table_cols = nullptr;  // per context column; -1: none
    };
    bool has_foreign() const;
    std::vector<int> input_nodes() const;
    py::object node_object(int node) const { return nodes_[node].obj; }
    void run_packed(const std::vector<Packed> &inputs, index_t column, index_t nvalid,
                    const index_t *pos, const bool *valid, Workspace &ws) const;

    std::size_t root_count() const { return roots_.size(); }
    // After run_packed(): root k's value (valid until the next run).
    const Value &root_value(const Workspace &ws, std::size_t k = 0) const {
        return ws.slots[roots_[k]].value;
    }
    // After run(): whether the root was computed by our operators (then
    // `root_value()` holds it) or is a Python object (`root_object()`).
    bool root_is_kernel() const;
    const Value &root_value() const { return root_value(ws_); }
    py::object root_object() const;
    // The root as Python would see it: the object, or a new array/float.
    py::object root_as_python() const;
    static py::object value_to_python(const Value &v);

private:
    enum class Kind { Const, Input, Kernel, Foreign };
    struct Node {
        Kind kind;
        py::object obj;  // the number, the factor, the kernel or the func
        const OpDef *op = nullptr;
        std::vector<double> params;
        double number = 0.0;  // Const
        std::vector<int> args;
        bool kernel_consumed = false;
        // Kernel nodes: the buffers of these arguments go back to the pool
        // once this node has run (it is their last reader).
        std::vector<int> release;
        py::object out;  // Python object produced by run() (Const, Input, Foreign)
    };
    // What makes two kernel nodes the same computation.
    struct KernelKey {
        const OpDef *op;
        std::vector<std::uint64_t> params;  // bit patterns
        std::vector<int> args;
        bool operator<(const KernelKey &o) const;
    };

    void compile_roots(const std::vector<py::object> &exprs);
    int compile(py::handle expr);
    int add_node(Node node, py::handle expr, bool memoise);
    void remember(py::handle expr, int slot);
    void plan_buffers();
    void run_kernel(int slot, Workspace &ws, index_t nvalid) const;
    Value to_value(Node &node, Workspace::Slot &slot, py::handle obj);

    std::vector<Node> nodes_;
    std::unordered_map<PyObject *, int> memo_;  // expression object -> slot
    std::vector<py::object> keep_;              // the memo's keys, kept alive
    std::map<KernelKey, int> kernels_;          // kernel computation -> slot
    std::map<std::uint64_t, int> constants_;    // number (bits) -> slot
    py::dict inputs_;                           // factor -> slot (equal factors share)
    std::vector<int> roots_;
    Workspace ws_;  // the workspace of run()
};

// The dependencies computed during one call of the evaluation functions
// on one context and instrument list (nested calls join it): each is
// computed once per call however many parts of the tree read it.
struct CallScope {
    PyObject *ctx = nullptr;
    PyObject *ids = nullptr;
    py::dict values;  // dependency -> the value handed to ctx.update
    py::dict tables;  // cross-sectional factor -> its table (substituted functions only)
};

// Joins the innermost scope of (ctx, ids) or opens one for the length of
// this object.
class ScopeGuard {
public:
    ScopeGuard(py::handle ctx, py::handle ids);
    ~ScopeGuard();
    ScopeGuard(const ScopeGuard &) = delete;
    ScopeGuard &operator=(const ScopeGuard &) = delete;
    CallScope &scope() { return *scope_; }

private:
    CallScope *scope_;
    bool opened_;
};

// Whether the module's _exec_* functions are all our own (none was
// substituted): the engine may then evaluate the dependency graph itself.
bool own_functions();
// Whether `fn` is our own _exec_expr.
bool own_exec_expr(py::handle fn);

// Writes a right-aligned series (`len` values for the last `len` of the
// `npos` valid-day positions) or a constant into a column.
inline void write_series(double *column, const index_t *pos, index_t npos, const double *data,
                         index_t len) {
    const index_t off = npos - len;
    for (index_t k = 0; k < len; ++k) column[pos[off + k]] = data[k];
}
inline void fill_constant(double *column, const index_t *pos, index_t npos, double v) {
    for (index_t k = 0; k < npos; ++k) column[pos[k]] = v;
}
// result[indexes[-len(s):], col] = s done by the array library itself, for
// values the fast paths do not take (its errors are the ones raised).
void assign_through_numpy(py::array &result, const index_t *pos, index_t npos, py::ssize_t col,
                          py::handle s);

// Large tables of an evaluation: memory freed while a TableScope is open
// is handed to the next table of about the same size.  Open one for the
// length of every top-level evaluation.
class TableScope {
public:
    TableScope();
    ~TableScope();
    TableScope(const TableScope &) = delete;
    TableScope &operator=(const TableScope &) = delete;
};
// A new column-major rows x cols float64 table (contents undefined).
frame::OutArray new_table(index_t rows, index_t cols);
// The threads the context lets an evaluation use (its `threads`, else 1).
int context_threads(py::handle ctx);

// The per-instrument loop of a factor that is not cross-sectional, its
// dependencies being in the context already: a new column-major
// date x instrument array.
frame::OutArray run_instrument_loop(py::handle factor, py::handle order_book_ids, py::handle ctx);
// The loop for several such factors at once, over one program whose
// common parts run once: one table per factor, or an empty vector when the
// packed loop cannot run them (a Python function, another context, an
// error: each factor then takes its own loop, which reports the error as
// that loop would).
std::vector<frame::OutArray> run_instrument_loops(const std::vector<py::object> &factors,
                                                  py::handle order_book_ids, py::handle ctx);
// The same loop when the context or the functions are not our own:
// per instrument, its mask and its expression's value through the context.
void run_generic_loop(py::handle expr, double shift, py::handle order_book_ids, py::handle ctx,
                      frame::OutArray &out, std::unique_ptr<Program> &program, bool own_expr,
                      py::handle exec_expr);
// A column-major array as a frame over the context's days (no copy).
py::object table_frame(py::handle values, py::handle order_book_ids, py::handle ctx);

// The evaluation functions as the contract writes them, calling each other
// through the module globals; used when one of them has been substituted.
void compute_dependencies_generic(py::handle factor, py::handle order_book_ids, py::handle ctx,
                                  CallScope &scope);
py::object exec_cross_sectional_generic(py::handle factor, py::handle order_book_ids,
                                        py::handle ctx);
// The checks of a fixed factor before its value is computed: the pinned
// instrument must be among order_book_ids when the wrapped factor reads a
// cross-sectional factor.
void check_pinned(py::handle factor, py::handle order_book_ids);
py::object exec_fixed_generic(py::handle factor, py::handle order_book_ids, py::handle ctx,
                              CallScope &scope);

void register_eval(py::module_ &m);    // _exec_factor, _exec_factors, _exec_expr, ...
void register_driver(py::module_ &m);  // execute_factor, ensure_end_date

}  // namespace tarnfold::engine
