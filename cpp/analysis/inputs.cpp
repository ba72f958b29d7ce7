// Input validation, the long-format alignment of factor and forward returns,
// and the return-field and frequency helpers.
#include <pybind11/numpy.h>

#include <algorithm>
#include <string>
#include <vector>

#include "analysis/bench.hpp"
#include "kernels/forward_returns.hpp"

namespace tarnfold::bench {

namespace {

using frame::index_t;

void validate_data_frame(py::object df, py::object name) {
    auto &pd = frame::pandas();
    if (!py::isinstance(df, pd.attr("DataFrame"))) {
        throw py::value_error(pyc::format("{}: expect pd.DataFrame, got {}",
                                          py::make_tuple(name, py::type::handle_of(df))));
    }
    py::object index = df.attr("index");
    if (!py::isinstance(index, pd.attr("DatetimeIndex"))) {
        throw py::value_error(pyc::format("{}: expect index type=pd.DatetimeIndex, got {}",
                                          py::make_tuple(name, py::type::handle_of(index))));
    }
}

py::object format_factor_data(py::object factor_data, py::object returns, py::object periods) {
    auto &pd = frame::pandas();
    // Read and check both tables before any work.
    check_instrument_labels(returns, "returns");
    check_instrument_labels(factor_data, "factor_data");
    frame::FrameValues ret = frame::frame_values(returns, "returns");
    frame::FrameValues fac = frame::frame_values(factor_data, "factor_data");

    py::object ret_index = returns.attr("index");
    py::object ret_columns = returns.attr("columns");
    py::object index = factor_data.attr("index").attr("intersection")(ret_index);
    const index_t n_dates = py::len(index);
    if (n_dates == 0) {
        throw py::value_error("factor_data and returns have no date in common");
    }
    std::vector<index_t> ret_rows =
        frame::positions(ret_index, index, "returns: the date index");
    std::vector<index_t> fac_rows =
        frame::positions(factor_data.attr("index"), index, "factor_data: the date index");
    if (!ret_columns.attr("is_unique").cast<bool>()) {
        throw py::value_error("returns: the columns has duplicate labels; each label must appear "
                              "once");
    }
    std::vector<index_t> fac_cols =
        frame::positions(factor_data.attr("columns"), ret_columns, "factor_data: the columns");
    if (std::none_of(fac_cols.begin(), fac_cols.end(), [](index_t c) { return c >= 0; })) {
        throw py::value_error("factor_data and returns have no order_book_id in common");
    }

    // Holding periods: one column per distinct name, first position kept,
    // the last period of that name computed.
    std::vector<std::string> keys;
    std::vector<index_t> key_period;
    py::list names;
    for (py::handle p : periods) {
        std::string key = pyc::format("P_{}", py::make_tuple(p));
        index_t value = holding_period(p, true);
        if (value >= ret.view.rows) {
            throw py::value_error(pyc::format(
                "periods: holding period {} needs more than the {} row(s) of returns",
                py::make_tuple(p, ret.view.rows)));
        }
        bool found = false;
        for (std::size_t k = 0; k < keys.size(); ++k) {
            if (keys[k] == key) {
                key_period[k] = value;
                found = true;
            }
        }
        if (!found) {
            keys.push_back(key);
            key_period.push_back(value);
            names.append(py::str(key));
        }
    }
    names.append(py::str("factor"));

    const index_t n_inst = ret.view.cols;
    const index_t n_rows = n_dates * n_inst;
    const index_t n_fields = static_cast<index_t>(keys.size());
    // Each output column is contiguous: a column-major (rows x fields) array
    // becomes the frame's single block without a copy.
    frame::OutArray out = frame::new_column_major(n_rows, n_fields + 1);
    {
        py::gil_scoped_release nogil;
        if (n_fields > 0) {
            // Each forward return is the product of the returns that follow,
            // so it does not depend on where the returns table starts.
            kern::GrowthFactors g;
            kern::growth_factors(ret.view, g);
            for (index_t k = 0; k < n_fields; ++k) {
                kern::forward_return(g, ret_rows, key_period[k],
                                     out.view.data + k * n_rows);
            }
        }
        kern::gather(fac.view, fac_rows, fac_cols, out.view.data + n_fields * n_rows);
    }
    py::object mindex = pd.attr("MultiIndex").attr("from_product")(
        py::make_tuple(index, ret_columns),
        py::arg("names") = py::make_tuple("datetime", "order_book_id"));
    return frame::make_frame(out.array, mindex, pd.attr("Index")(names));
}

py::list get_return_fields(py::object columns) {
    py::list out;
    for (py::handle col : columns) {
        if (col.attr("startswith")("P_").cast<bool>()) out.append(col);
    }
    return out;
}

bool all_zero(py::object values) {
    py::array_t<long long, py::array::c_style | py::array::forcecast> a(
        frame::numpy().attr("asarray")(values));
    auto p = a.data();
    for (py::ssize_t k = 0; k < a.size(); ++k)
        if (p[k] != 0) return false;
    return true;
}

py::str get_datetime_freq(py::object index) {
    if (!all_zero(index.attr("second"))) return py::str("tick");
    if (!all_zero(index.attr("minute"))) return py::str("1m");
    // Midnight to the microsecond, as datetime.time compares.
    if (all_zero(index.attr("hour")) && all_zero(index.attr("microsecond"))) {
        return py::str("1d");
    }
    throw py::value_error(pyc::format("Unknown datetime index: {}", py::make_tuple(index)));
}

}  // namespace

void check_instrument_labels(py::handle df, const char *table) {
    auto &pd = frame::pandas();
    py::object columns = df.attr("columns");
    if (py::isinstance(columns, pd.attr("MultiIndex"))) {
        throw py::value_error(pyc::format(
            "{}: expect one column per order_book_id, got MultiIndex columns with {} levels",
            py::make_tuple(table, columns.attr("nlevels"))));
    }
    for (py::handle label : columns) {
        if (!py::isinstance<py::str>(label)) {
            throw py::type_error(pyc::format(
                "{}: expect order_book_id text as column labels, got {!r} of type {}",
                py::make_tuple(table, label, py::type::handle_of(label))));
        }
    }
}

index_t holding_period(py::handle p, bool allow_zero) {
    if (PyBool_Check(p.ptr()) || PyObject_IsInstance(p.ptr(), frame::numpy().attr("bool_").ptr()) == 1) {
        throw py::type_error(pyc::format(
            "periods: expect positive integer holding periods, got {!r}", py::make_tuple(p)));
    }
    PyObject *i = PyNumber_Index(p.ptr());
    if (!i) {
        PyErr_Clear();
        throw py::type_error(pyc::format(
            "periods: expect positive integer holding periods, got {!r}", py::make_tuple(p)));
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i, &overflow);
    Py_DECREF(i);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || v < 0 || (v == 0 && !allow_zero)) {
        throw py::value_error(pyc::format(
            "periods: expect positive integer holding periods, got {!r}", py::make_tuple(p)));
    }
    return static_cast<index_t>(v);
}

void register_inputs(py::module_ &m) {
    pyc::def_function(m, "_validate_data_frame", "(df, name)", "", &validate_data_frame,
                      py::arg("df"), py::arg("name"));
    pyc::def_function(m, "_format_factor_data", "(factor_data, returns, periods)",
                      "因子数据与未来收益对齐为长表: index (datetime, order_book_id), "
                      "列为各持有期收益 P_n 与 factor",
                      &format_factor_data, py::arg("factor_data"), py::arg("returns"),
                      py::arg("periods"));
    pyc::def_function(m, "_get_return_fields", "(columns, /)", "", &get_return_fields,
                      py::arg("columns"), py::pos_only());
    pyc::def_function(m, "_get_datetime_freq", "(index, /)", "", &get_datetime_freq,
                      py::arg("index"), py::pos_only());
    pyc::def_function(m, "_is_date_frequency_index", "(index, /)", "",
                      [](py::object index) {
                          return glob("_get_datetime_freq")(index).equal(py::str("1d"));
                      },
                      py::arg("index"), py::pos_only());
}

}  // namespace tarnfold::bench
