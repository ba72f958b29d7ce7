// Neutralization.process: the factor's residuals, date by date, on industry
// dummies, style exposures and user exposure tables.
#pragma once

#include "analysis/bench.hpp"

namespace tarnfold::bench {

py::object neutralization_process(py::object self, py::object factor_data);

}  // namespace tarnfold::bench
