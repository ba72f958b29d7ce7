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

py::object format_factor_data(py::object factor_data, py::object returns, py::object periods) {
    auto &pd = frame::pandas();
    require_data_frame(factor_data, py::str("factor_data"));
    require_data_frame(returns, py::str("returns"));
    // Forward returns run down the returns in date order, whatever the
    // order of the rows given.
    returns = in_date_order(returns, "returns");
    factor_data = in_date_order(factor_data, "factor_data");
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
    std::vector<index_t> ret_rows = frame::positions(ret_index, index, "returns: the date index");
    std::vector<index_t> fac_rows = frame::positions(factor_data.attr("index"), index,
                                                     "factor_data: the date index");
    if (!ret_columns.attr("is_unique").cast<bool>()) {
        throw py::value_error(
            "returns: the columns has duplicate labels; each label must appear "
            "once");
    }
    std::vector<index_t> fac_cols = frame::positions(factor_data.attr("columns"), ret_columns,
                                                     "factor_data: the columns");
    if (std::none_of(fac_cols.begin(), fac_cols.end(), [](index_t c) { return c >= 0; })) {
        throw py::value_error("factor_data and returns have no order_book_id in common");
    }

    // Holding periods: one column per distinct name, at its first position.
    Periods per = read_periods(periods, true);
    const std::vector<index_t> &key_period = per.value;
    py::list names;
    for (std::size_t k = 0; k < per.value.size(); ++k) {
        if (per.value[k] >= ret.view.rows) {
            throw py::value_error(pyc::format(
                "periods: expected holding periods shorter than the {} row(s) of returns, "
                "got {!r}",
                py::make_tuple(ret.view.rows, per.items[k])));
        }
        names.append(py::str(per.name[k]));
    }
    names.append(py::str("factor"));

    const index_t n_inst = ret.view.cols;
    const index_t n_rows = n_dates * n_inst;
    const index_t n_fields = static_cast<index_t>(key_period.size());
    // Each output column is contiguous: a column-major (rows x fields) array
    // becomes the frame's single block without a copy.
    frame::OutArray out = frame::new_column_major(n_rows, n_fields + 1);
    const int threads = thread_count();
    {
        py::gil_scoped_release nogil;
        if (n_fields > 0) {
            // Each forward return is the product of the returns that follow,
            // so it does not depend on where the returns table starts.
            kern::GrowthFactors g;
            kern::growth_factors(ret.view, g);
            for (index_t k = 0; k < n_fields; ++k) {
                kern::forward_return(g, ret_rows, key_period[k], out.view.data + k * n_rows,
                                     threads);
            }
        }
        kern::gather(fac.view, fac_rows, fac_cols, out.view.data + n_fields * n_rows, threads);
    }
    py::object mindex = pd.attr("MultiIndex")
                            .attr("from_product")(
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
    Int64Array a(frame::numpy().attr("asarray")(values));
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
            "{}: expected one column per order_book_id, got MultiIndex columns with {} levels",
            py::make_tuple(table, columns.attr("nlevels"))));
    }
    for (py::handle label : columns) {
        if (!py::isinstance<py::str>(label)) {
            throw py::type_error(
                pyc::format("{}: expected order_book_id text as column labels, got {!r} of type {}",
                            py::make_tuple(table, label, py::type::handle_of(label))));
        }
    }
}

void require_data_frame(py::handle df, py::handle name) {
    if (!py::isinstance(df, frame::pandas().attr("DataFrame"))) {
        throw py::value_error(pyc::format("{}: expect pd.DataFrame, got {}",
                                          py::make_tuple(name, py::type::handle_of(df))));
    }
}

void validate_data_frame(py::handle df, py::handle name) {
    auto &pd = frame::pandas();
    require_data_frame(df, name);
    py::object index = df.attr("index");
    if (!py::isinstance(index, pd.attr("DatetimeIndex"))) {
        throw py::value_error(pyc::format("{}: expect index type=pd.DatetimeIndex, got {}",
                                          py::make_tuple(name, py::type::handle_of(index))));
    }
}

py::object in_date_order(py::object df, const char *table) {
    auto &pd = frame::pandas();
    if (!py::isinstance(df, pd.attr("DataFrame"))) return df;
    py::object index = df.attr("index");
    if (!py::isinstance(index, pd.attr("DatetimeIndex"))) return df;
    if (index.attr("hasnans").cast<bool>()) {
        throw py::value_error(
            pyc::format("{}: expected a date on every row, got a missing date (NaT) in the index",
                        py::make_tuple(table)));
    }
    if (!index.attr("tz").is_none()) {
        df = df.attr("set_axis")(index.attr("tz_localize")(py::none()), py::arg("axis") = 0);
        index = df.attr("index");
    }
    if (!index.attr("is_monotonic_increasing").cast<bool>()) {
        df = df.attr("sort_index")(py::arg("kind") = "stable");
    }
    return df;
}

py::object dated_table(py::object df, const char *table) {
    validate_data_frame(df, py::str(table));
    return in_date_order(df, table);
}

Periods usable_periods(py::handle periods, index_t n_rows) {
    require_periods_sequence(periods);
    py::list given;  // read once, whatever the iterable
    for (py::handle p : py::iter(periods)) given.append(p);
    Periods all = read_periods(given);
    // The warning lists the dropped periods as given, repeats included.
    py::list dropped;
    for (py::handle p : given) {
        if (holding_period(p) >= n_rows) dropped.append(p);
    }
    if (dropped.size() == 0) return all;
    Periods kept;
    kept.dropped = true;
    for (std::size_t k = 0; k < all.value.size(); ++k) {
        if (all.value[k] >= n_rows) continue;
        kept.items.push_back(all.items[k]);
        kept.value.push_back(all.value[k]);
        kept.name.push_back(all.name[k]);
    }
    if (kept.value.empty()) {
        throw py::value_error(pyc::format("Invalid periods, must be less than {}",
                                          py::make_tuple(n_rows)));
    }
    pyc::warn(pyc::format("Invalid periods found: {}, will ignore.", py::make_tuple(dropped)));
    return kept;
}

void register_inputs(py::module_ &m) {
    pyc::def_function(
        m, "_validate_data_frame", "(df, name)",
        "ValueError naming `name` unless df is a DataFrame with a DatetimeIndex.",
        [](py::object df, py::object name) { validate_data_frame(df, name); }, py::arg("df"),
        py::arg("name"));
    pyc::def_function(m, "_format_factor_data", "(factor_data, returns, periods)",
                      "因子数据与未来收益对齐为长表: index (datetime, order_book_id), "
                      "列为各持有期收益 P_n 与 factor\n\n"
                      "The factor aligned with forward returns as a long table indexed by\n"
                      "(datetime, order_book_id): one column P_n per period, the return\n"
                      "compounded over the n rows of `returns` after the date (a missing\n"
                      "daily return counts as 0), then the column factor.",
                      &format_factor_data, py::arg("factor_data"), py::arg("returns"),
                      py::arg("periods"));
    pyc::def_function(m, "_get_return_fields", "(columns, /)",
                      "The forward-return column names (those starting with P_), in order.",
                      &get_return_fields, py::arg("columns"), py::pos_only());
    pyc::def_function(m, "_get_datetime_freq", "(index, /)", "", &get_datetime_freq,
                      py::arg("index"), py::pos_only());
    pyc::def_function(
        m, "_is_date_frequency_index", "(index, /)", "",
        [](py::object index) { return glob("_get_datetime_freq")(index).equal(py::str("1d")); },
        py::arg("index"), py::pos_only());
}

}  // namespace tarnfold::bench
