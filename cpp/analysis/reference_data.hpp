// Industry codes per (date, instrument) cell straight from the
// classification history and the listing mask, for the steps that need
// industries as integer codes rather than a series of text labels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/bench.hpp"

namespace tarnfold::bench {

// True when fn is this module's own _load_industry_data (not a substitute
// a caller put in its place).
bool own_industry_loader(py::handle fn);

// A date level read as a DatetimeIndex; ValueError naming `table` when it
// cannot be.
py::object date_level_values(py::object level, const std::string &table);

// The labels _load_industry_data(instruments, dates, source) gives, as codes
// per cell of the dates x instruments grid (cell t * n_inst + j): codes
// number the entries of *names (the distinct labels, "Unknown" for a pair
// without a classification record yet, in order of first occurrence in the
// history); kern::kNoIndustryRow for a pair that is not listed,
// kern::kNoIndustryDummy for a missing label.  Returns the number of names.
std::int32_t industry_cell_codes(std::vector<std::int32_t> &cells, py::object source,
                                 py::object dates, py::object instruments, py::object *names);

}  // namespace tarnfold::bench
