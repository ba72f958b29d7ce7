// The preprocessors whose work lives beside preprocessors.cpp: neutralization
// (neutralization.cpp), and the paths that serve a function a caller put in
// place of the module's own (preprocessors_generic.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/bench.hpp"

namespace tarnfold::bench {

// Neutralization.process: the factor's residuals, date by date, on industry
// dummies, style exposures and user exposure tables.
py::object neutralization_process(py::object self, py::object factor_data);

// Winsorization with a clipping function the kernels do not reproduce:
// factor_data.apply(winsorize, axis=1), one call per date.
py::object winsorize_rows_generic(py::object factor_data, py::object winsorize);

// The factor table's dates x instruments grid, as neutralization reads it.
struct NeutralGrid {
    py::object index;    // dates
    py::object columns;  // instruments
    index_t n_dates = 0, n_inst = 0;
};

// Industry codes per grid cell (t * n_inst + j) from the label series of a
// substituted _load_industry_data: the codes number the distinct labels
// (each one a dummy column); returns their number.
std::int32_t industry_codes_generic(std::vector<std::int32_t> &cells, py::object self,
                                    const NeutralGrid &grid);

}  // namespace tarnfold::bench
