// What the IC analysis files share: the IC function object
// (ic_function.cpp), the table builders of the analyser (ic_analysis.cpp)
// and the generic paths that call a user's IC function group by group
// (ic_analysis_generic.cpp).
#pragma once

#include <vector>

#include "analysis/bench.hpp"
#include "analysis/long_frame.hpp"
#include "kernels/correlation.hpp"

namespace tarnfold::bench::ic {

// ---- ic_function.cpp ----

// The kernel that reproduces `ic_func`, when it is an IC function made by
// _get_ic_func whose `func` is still the scipy statistic it was made with.
bool kernel_kind(py::handle ic_func, kern::CorrKind &kind);

// The ICFunction class and _get_ic_func.
void register_ic_function(py::module_ &m);

// ---- ic_analysis.cpp ----

// A float frame from row-major values.
py::object float_frame(const std::vector<double> &values, index_t rows, index_t cols,
                       py::object index, py::object columns);

// ---- ic_analysis_generic.cpp: a user's IC function ----

// Per group (a date, an industry) and field, the statistic of the user's
// function on the group's rows, called with the series the group-by/apply
// formulation passes; the p-value table too when `with_p_values`.
// Returns (statistics, p-values or None).
py::tuple grouped_ic_generic(py::object ic_func, py::object factor_data, const py::list &fields,
                             const longf::Groups &groups, py::object index, py::object columns,
                             bool with_p_values);

// The decay rows of lags 1 ... max_lag - 1, indexed by (datetime, decay):
// per lag and date, the user's function on the instruments complete at
// that lag.
py::object decay_lags_generic(py::object ic_func, py::object factor_data, const py::list &fields,
                              const longf::Grid &grid, index_t max_lag, py::object columns);

}  // namespace tarnfold::bench::ic
