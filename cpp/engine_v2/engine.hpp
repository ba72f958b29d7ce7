// Shared declarations of the eval_core extension module.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine_v2/ops.hpp"

namespace tarnfold::engine {

namespace py = pybind11;

// A module global looked up at call time, so that tests and users can
// substitute `mivada`, the factor classes, the helpers and the context.
py::object glob(const char *name);

// isinstance(obj, <module global `name`>)
bool is_instance_of(py::handle obj, const char *name);
// isinstance(obj, numbers.Real)
bool is_real(py::handle obj);

// An expression compiled into a flat program: nodes in evaluation order,
// each reading earlier slots.  Our operators (a `func` carrying
// `_tarnfold_op`) run in C++; leaves and cross-sectional/fixed factors are
// inputs served by the execution context; any other `func` is called as
// given with its evaluated arguments.
class Program {
public:
    // Compiles `expr`; raises the interpreter's errors for a malformed
    // pair and ValueError/TypeError for a badly formed operator.
    explicit Program(py::handle expr);

    // Evaluates the expression for one instrument.  `nvalid` is the
    // instrument's number of valid days (-1 when unknown: a constant fed
    // to a time-series operator is then an error).
    void run(py::handle ctx, py::handle order_book_id, index_t nvalid);

    // Bulk evaluation, for a context that hands over every instrument's
    // series packed back to back (valid days only): `inputs` gives, for
    // each node returned by input_nodes(), the packed values (or a
    // constant) and the offsets of each context column.  An input may also
    // be a column-major date x column table (a cross-sectional or fixed
    // dependency): the instrument's series is then gathered from its table
    // column at its valid days `pos`.  Touches no Python object, so it may
    // run without the GIL.
    struct Packed {
        bool scalar = false;
        double number = 0.0;
        const double *data = nullptr;
        const long long *offsets = nullptr;
        const double *table = nullptr;          // table mode
        long long col_stride = 0;               // elements between table columns
        const long long *table_cols = nullptr;  // per context column; -1: none
    };
    bool has_foreign() const;
    std::vector<int> input_nodes() const;
    py::object node_object(int node) const { return nodes_[node].obj; }
    void run_packed(const std::vector<Packed> &inputs, index_t column, index_t nvalid,
                    const index_t *pos);

    // After run(): the root's value.  `root_is_kernel()` tells whether it
    // was computed by our operators (then `root_value()` holds it, valid
    // until the next run) or is a Python object (`root_object()`).
    bool root_is_kernel() const;
    const Value &root_value() const;
    py::object root_object() const;
    // The root as Python would see it: the object, or a new array/float.
    py::object root_as_python() const;

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
        // state of the current run
        std::vector<double> buf, aux;
        py::object out;   // Python object produced (Const, Input, Foreign)
        py::object hold;  // keeps the array behind `value` alive
        Value value;
    };

    int compile(py::handle expr);
    Value to_value(Node &node, py::handle obj);
    static py::object value_to_python(const Value &v);

    std::vector<Node> nodes_;
    std::unordered_map<PyObject *, int> memo_;
    int root_ = -1;
};

// Runs one of our operators on Python numbers / arrays.
py::object apply_kernel(const std::string &op, py::handle params, py::handle args);
// Runs one of our cross-sectional operators on data frames: an F-ordered array.
py::object apply_cs_kernel(const std::string &op, py::handle params, py::handle tables);

void register_eval(py::module_ &m);    // _exec_factor, _exec_expr, ...
void register_driver(py::module_ &m);  // execute_factor, ensure_end_date

}  // namespace tarnfold::engine
