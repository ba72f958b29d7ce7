// What the two holding-period analysers (quantile returns, factor returns)
// share: argument checks, and the factor table with the returns' growth
// index laid out on its dates and instruments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/bench.hpp"

namespace tarnfold::bench::holding {

using frame::index_t;

// `value` as a positive integer; ValueError naming `argument` otherwise
// (floats, strings, zero and negative numbers are refused; bools and
// numpy integers pass).
index_t positive_integer(py::handle value, const char *argument);

// The holding periods, each checked, and the result column name of each
// ("P_" and the period as str.format prints it).
struct Periods {
    std::vector<py::object> items;  // as given
    std::vector<index_t> value;
    std::vector<std::string> name;
};
Periods read_periods(py::handle periods);

// The factor table's values and, on its dates and instruments, the
// cumulative growth of the returns (see kern::growth_index).
struct Wide {
    frame::FrameValues factor;
    index_t n = 0, m = 0;
    std::vector<double> cum;
    std::vector<double> level;  // only when asked for
};
Wide read_wide(py::handle factor_data, py::handle returns, bool with_level);

// A column-major float frame from columns of equal length.
py::object columns_frame(const std::vector<std::vector<double>> &cols, py::handle index,
                         const std::vector<std::string> &names);

}  // namespace tarnfold::bench::holding
