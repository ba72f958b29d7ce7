// Reading the formatted factor frame (rows indexed by (datetime,
// order_book_id), return fields, then "factor") for the IC kernels: row
// groups by date or by label, the date x instrument grid, and the column
// layout, all derived from the index codes without pandas group-by.
#pragma once

#include <string>
#include <vector>

#include "analysis/bench.hpp"
#include "kernels/correlation.hpp"

namespace tarnfold::bench::longf {

// Rows grouped by a key, groups in ascending key order.
struct Groups {
    std::vector<index_t> start;  // n_groups + 1 offsets into rows
    std::vector<index_t> rows;   // row numbers, original order within a group
    py::object keys;             // pandas Index of the group keys
    index_t size() const { return start.empty() ? 0 : static_cast<index_t>(start.size()) - 1; }
};

// A new int64 numpy array holding `values`.
py::object int64_array(const std::vector<index_t> &values);

// Position of the named level of a MultiIndex; KeyError when missing.
int level_number(py::handle index, const char *name);

// Position of the named level of an index, -1 when it has none.
int find_level(py::handle index, const char *name);

// Groups the rows by the "datetime" level, dates ascending.
Groups date_groups(py::handle frame);

// Groups the rows by an aligned label array (one label per row; NaN or None
// labels take part in no group), labels in ascending order.
Groups label_groups(py::handle labels);

// Groups the rows by integer codes (-1: no group) numbering the values of
// `keys` (unique, in any order): groups in ascending key order, keys no row
// uses left out.
Groups code_groups(std::vector<index_t> code, py::object keys);

// The date x instrument grid of table rows (-1 where a pair is missing);
// dates ascending.  ValueError when a pair occurs twice.
struct Grid {
    std::vector<index_t> rows;
    index_t n_dates = 0, n_inst = 0;
    py::object dates;
    py::object instruments;  // observed instruments, ascending
};
Grid date_instrument_grid(py::handle frame);

// The float64 values of the return fields and the factor column, read
// column by column (views of the frame's memory where it holds float64).
struct Columns {
    std::vector<py::array> arrays;  // keeps the memory alive
    kern::LongTable table;
};
Columns read_columns(py::handle frame, const py::list &fields);

}  // namespace tarnfold::bench::longf
