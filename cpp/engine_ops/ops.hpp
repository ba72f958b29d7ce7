// The operators the engine runs in C++ on right-aligned series.
//
// A value is a number (a constant over every valid day) or a series: the
// values of an instrument's last `len` valid days, oldest first.  Operators
// are looked up by the name a Python `Kernel` carries; each one checks its
// parameter count when a program is compiled and computes into a buffer
// owned by its program slot, reused from one instrument to the next.
//
// Adding an operator: write the numerics in cpp/kernels (no Python), then
// one `OpDef` row in ops.cpp naming it, its argument and parameter counts
// and a run function (cross-sectional operators: one `CsOpDef` row in
// cs_ops.cpp).  The tests hold a pandas reference for every row.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "kernels/matrix.hpp"

namespace tarnfold::engine {

using kern::index_t;

struct Value {
    bool scalar = true;
    double number = 0.0;
    const double *data = nullptr;
    index_t len = 0;

    static Value of(double v) { return Value{true, v, nullptr, 0}; }
    static Value series(const double *p, index_t n) { return Value{false, 0.0, p, n}; }
};

// Everything an operator may use while it runs.
struct OpCall {
    const Value *args;
    int nargs;
    const double *params;
    int nparams;
    std::vector<double> *buf;  // the slot's output buffer
    std::vector<double> *aux;  // scratch of the slot (e.g. a broadcast constant)
    index_t nvalid;            // valid days of the instrument; -1 when unknown
    const char *name;
};

using OpFn = Value (*)(const OpCall &call);

struct OpDef {
    const char *name;
    int nargs;
    int min_params, max_params;
    OpFn run;
};

// The operator called `name`, or nullptr.
const OpDef *find_op(const std::string &name);
// Every operator, in table order.
std::span<const OpDef> op_table();

// Raised by operators for bad runtime input (turned into ValueError).
struct OpError {
    std::string message;
};

}  // namespace tarnfold::engine
