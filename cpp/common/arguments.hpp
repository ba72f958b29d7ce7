// Integer arguments and holding periods, checked and worded one way for
// every step of the bench and for the Python workflow (through
// tarnfold._kernels.holding_periods).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "common/frame.hpp"

namespace tarnfold::args {

namespace py = pybind11;
using frame::index_t;

// `value` as an integer of at least `minimum`: TypeError for anything that
// is not an integer (booleans included), ValueError below the minimum or
// beyond 64 bits; both say "`argument`: expected `expected`, got value".
index_t checked_integer(py::handle value, const char *argument, const char *expected,
                        index_t minimum);

// One holding period: a positive integer (0 too with allow_zero, for the
// zero-period column of the formatted frame).
index_t holding_period(py::handle p, bool allow_zero = false);

// The holding periods of an analyser: a list or tuple (any iterable but
// text) of holding periods, each checked, with the result column name of
// each ("P_" and the period as str.format prints it).
struct Periods {
    std::vector<py::object> items;  // as given
    std::vector<index_t> value;
    std::vector<std::string> name;
    bool dropped = false;  // a caller left some out (too long for its rows)
};
// TypeError unless `periods` is an iterable other than text.
void require_periods_sequence(py::handle periods);

Periods read_periods(py::handle periods, bool allow_zero = false);

}  // namespace tarnfold::args
