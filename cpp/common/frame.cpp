#include "common/frame.hpp"

#include "common/pyclass.hpp"

namespace tarnfold::frame {

py::module_ &pandas() {
    static py::module_ *pd = new py::module_(py::module_::import("pandas"));
    return *pd;
}

py::module_ &numpy() {
    static py::module_ *np = new py::module_(py::module_::import("numpy"));
    return *np;
}

FrameValues frame_values(py::handle df, const std::string &table) {
    auto &pd = pandas();
    auto &np = numpy();
    if (!py::isinstance(df, pd.attr("DataFrame"))) {
        throw py::type_error(table + ": expect pd.DataFrame, got " +
                             pyc::repr(py::type::handle_of(df)));
    }
    py::object dtypes = df.attr("dtypes");
    py::object is_numeric = pd.attr("api").attr("types").attr("is_numeric_dtype");
    py::object float64 = np.attr("dtype")("float64");
    bool all_float64 = true;
    bool extension = false;
    for (py::handle dt : dtypes.attr("unique")()) {
        if (dt.equal(float64)) continue;
        all_float64 = false;
        if (!is_numeric(dt).cast<bool>() ||
            pd.attr("api").attr("types").attr("is_complex_dtype")(dt).cast<bool>()) {
            // Name the first offending column.
            py::object cols = df.attr("columns");
            py::ssize_t n = py::len(cols);
            for (py::ssize_t j = 0; j < n; ++j) {
                if (py::object(dtypes.attr("iloc")[py::int_(j)]).equal(dt)) {
                    throw py::type_error(table + ": column " + pyc::repr(cols[py::int_(j)]) +
                                         " has dtype " + py::str(dt).cast<std::string>() +
                                         "; expected numeric values");
                }
            }
            throw py::type_error(table + ": non-numeric dtype " + py::str(dt).cast<std::string>());
        }
        if (!py::isinstance(dt, np.attr("dtype"))) extension = true;
    }
    py::object values;
    if (all_float64 || !extension) {
        values = df.attr("to_numpy")(py::arg("dtype") = float64);
    } else {
        values = df.attr("to_numpy")(py::arg("dtype") = float64,
                                     py::arg("na_value") = np.attr("nan"));
    }
    auto arr = py::array::ensure(values);
    if (!arr || arr.ndim() != 2 || !arr.dtype().is(py::dtype::of<double>())) {
        throw py::type_error(table + ": could not read the values as a 2-D float64 array");
    }
    FrameValues out;
    out.array = arr;
    out.view.data = static_cast<const double *>(arr.data());
    out.view.rows = arr.shape(0);
    out.view.cols = arr.shape(1);
    out.view.row_stride = arr.strides(0) / static_cast<py::ssize_t>(sizeof(double));
    out.view.col_stride = arr.strides(1) / static_cast<py::ssize_t>(sizeof(double));
    if (arr.strides(0) % sizeof(double) || arr.strides(1) % sizeof(double)) {
        // Unaligned strides cannot be addressed element-wise; take a copy.
        py::array c = np.attr("ascontiguousarray")(arr);
        out.array = c;
        out.view.data = static_cast<const double *>(c.data());
        out.view.row_stride = out.view.cols;
        out.view.col_stride = 1;
    }
    return out;
}

OutArray new_column_major(index_t rows, index_t cols) {
    OutArray out;
    out.array = py::array_t<double, py::array::f_style>({rows, cols});
    out.view.data = out.array.mutable_data();
    out.view.rows = rows;
    out.view.cols = cols;
    out.view.row_stride = 1;
    out.view.col_stride = rows;
    return out;
}

py::object make_frame(py::handle values, py::handle index, py::handle columns) {
    return pandas().attr("DataFrame")(values, py::arg("index") = index,
                                      py::arg("columns") = columns, py::arg("copy") = false);
}

std::vector<index_t> positions(py::handle index, py::handle target, const std::string &what) {
    if (!index.attr("is_unique").cast<bool>()) {
        throw py::value_error(what + " has duplicate labels; each label must appear once");
    }
    Int64Array idx(index.attr("get_indexer")(target));
    std::vector<index_t> out(static_cast<std::size_t>(idx.size()));
    auto p = idx.data();
    for (py::ssize_t k = 0; k < idx.size(); ++k) out[k] = static_cast<index_t>(p[k]);
    return out;
}

}  // namespace tarnfold::frame
