// What the two holding-period analysers (quantile returns, factor returns)
// share: the factor table with the returns' growth index laid out on its
// dates and instruments, and the result columns.
#pragma once

#include <string>
#include <vector>

#include "analysis/bench.hpp"
#include "kernels/matrix.hpp"

namespace tarnfold::bench::holding {

// The factor table's values and, on its dates and instruments, the
// cumulative growth of the returns (see kern::growth_index).  Both tables
// come in date order (dated_table); ValueError when they have no date or
// no instrument in common, or the factor's dates repeat.
struct Wide {
    frame::FrameValues factor;
    index_t n = 0, m = 0;
    kern::RawVector<double> cum;
    kern::RawVector<double> level;  // only when asked for
};
Wide read_wide(py::handle factor_data, py::handle returns, bool with_level);

// A column-major float frame from columns of equal length.
py::object columns_frame(const std::vector<std::vector<double>> &cols, py::handle index,
                         const std::vector<std::string> &names);

}  // namespace tarnfold::bench::holding
