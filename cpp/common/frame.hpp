// The pandas <-> array boundary shared by both extension modules.
//
// A call unpacks a data frame's values once into a float64 array (no copy
// when pandas already holds one float64 block) and packs kernel output into
// a new data frame once.  Every shape and dtype problem is reported here as
// a Python exception naming the table, before any kernel runs.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "kernels/matrix.hpp"

namespace tarnfold::frame {

namespace py = pybind11;
using kern::index_t;

// numpy arrays as the C++ side reads them: contiguous, other dtypes converted.
using Int64Array = py::array_t<long long, py::array::c_style | py::array::forcecast>;
using FloatArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Values of a data frame as a 2-D float64 array plus a strided view of it.
struct FrameValues {
    py::array array;  // keeps the memory alive
    kern::ConstView view;
};

// Raises TypeError naming `table` when `df` is not a data frame or holds a
// column that is not numeric (object, text, datetime, categorical ...).
// Nullable numeric columns are read with NaN for missing values.
FrameValues frame_values(py::handle df, const std::string &table);

// A new column-major float64 array of the given shape and its writable view.
struct OutArray {
    py::array_t<double, py::array::f_style> array;
    kern::MutView view;
};
OutArray new_column_major(index_t rows, index_t cols);

// pd.DataFrame(values, index=index, columns=columns) without copying.
py::object make_frame(py::handle values, py::handle index, py::handle columns);

// index.get_indexer(target) as positions (-1 where missing).  The index must
// be unique; otherwise ValueError naming `what`.
std::vector<index_t> positions(py::handle index, py::handle target, const std::string &what);

py::module_ &pandas();
py::module_ &numpy();

}  // namespace tarnfold::frame
