// Neutralization: the exposure table (style exposures from the market-data
// service, industry dummies, user tables) is matched to the factor's
// (date, instrument) grid once, through the index codes of each long table;
// the least-squares kernel then fits every date without the GIL and the
// residual table is built once.
#include "analysis/preprocessors.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "analysis/long_frame.hpp"
#include "analysis/reference_data.hpp"
#include "kernels/least_squares.hpp"

namespace tarnfold::bench {

namespace {

const char *kNothingToDo =
    "Do not make any processing because no industry nor style factors nor other_factors "
    "specify.";

using pyc::type_repr;

py::object types_api() { return frame::pandas().attr("api").attr("types"); }

using Grid = NeutralGrid;

// Exposure columns of one long table, matched to the grid.
struct Block {
    std::vector<py::array> arrays;  // keeps the column values alive
    std::vector<std::int64_t> rows;
    std::vector<std::int64_t> key;
    kern::ExposureBlock view;
};

// ---- reading long tables ------------------------------------------------------

// A column of exposures as contiguous float64 (NaN for missing values).
py::array float_column(py::object column, const std::string &table, py::handle name) {
    auto &np = frame::numpy();
    py::object dtype = column.attr("dtype");
    py::object api = types_api();
    if (!api.attr("is_numeric_dtype")(dtype).cast<bool>() ||
        api.attr("is_complex_dtype")(dtype).cast<bool>()) {
        throw py::value_error(table + ": column " + pyc::repr(name) + " has dtype " +
                              py::str(dtype).cast<std::string>() + "; expected numeric exposures");
    }
    py::object values;
    if (py::isinstance(dtype, np.attr("dtype"))) {
        values = column.attr("to_numpy")(py::arg("dtype") = "float64");
    } else {  // nullable numeric
        values = column.attr("to_numpy")(py::arg("dtype") = "float64",
                                         py::arg("na_value") = np.attr("nan"));
    }
    return FloatArray::ensure(values);
}

void check_numeric_columns(py::object df, const std::string &table) {
    py::object api = types_api();
    py::object dtypes = df.attr("dtypes");
    py::object cols = df.attr("columns");
    const py::ssize_t n = py::len(cols);
    for (py::ssize_t k = 0; k < n; ++k) {
        py::object dt = dtypes.attr("iloc")[py::int_(k)];
        if (!api.attr("is_numeric_dtype")(dt).cast<bool>() ||
            api.attr("is_complex_dtype")(dt).cast<bool>()) {
            throw py::value_error(table + ": column " + pyc::repr(cols[py::int_(k)]) +
                                  " has dtype " + py::str(dt).cast<std::string>() +
                                  "; expected numeric exposures");
        }
    }
}

// Matches the rows of a long table to the grid: row r, at (date level
// value d, instrument level value i), fills slot (keys.get_loc(d), column
// of i).  Returns the number of rows that found a slot.
index_t match_rows(Block &b, py::object df, int date_level, int id_level, py::object keys,
                   const Grid &grid, const std::string &table) {
    py::object mi = df.attr("index");
    py::object levels = mi.attr("levels");
    py::object codes = mi.attr("codes");
    py::object dates = date_level_values(levels[py::int_(date_level)], table);
    Int64Array key_pos(keys.attr("get_indexer")(dates));
    Int64Array inst_pos(grid.columns.attr("get_indexer")(levels[py::int_(id_level)]));
    Int64Array cd(codes[py::int_(date_level)]);
    Int64Array ci(codes[py::int_(id_level)]);
    const index_t n_keys = py::len(keys);
    b.rows.assign(static_cast<std::size_t>(n_keys * grid.n_inst), -1);
    const long long *pd_ = cd.data(), *pi = ci.data();
    const long long *kp = key_pos.data(), *ip = inst_pos.data();
    index_t matched = 0;
    const index_t n_rows = cd.size();
    for (index_t r = 0; r < n_rows; ++r) {
        if (pd_[r] < 0 || pi[r] < 0) continue;
        const long long key = kp[pd_[r]], inst = ip[pi[r]];
        if (key < 0 || inst < 0) continue;
        std::int64_t &slot = b.rows[static_cast<std::size_t>(inst * n_keys + key)];
        if (slot >= 0) {
            throw py::value_error(table + ": the pair (" + pyc::repr(dates[py::int_(pd_[r])]) +
                                  ", " + pyc::repr(levels[py::int_(id_level)][py::int_(pi[r])]) +
                                  ") appears more than once");
        }
        slot = r;
        ++matched;
    }
    py::object cols = df.attr("columns");
    py::object iloc = df.attr("iloc");
    const py::ssize_t n_cols = py::len(cols);
    for (py::ssize_t k = 0; k < n_cols; ++k) {
        py::array values = float_column(iloc[py::make_tuple(py::slice(), py::int_(k))], table,
                                        cols[py::int_(k)]);
        b.arrays.push_back(values);
        b.view.columns.push_back(static_cast<const double *>(values.data()));
    }
    b.view.rows = b.rows.data();
    b.view.n_keys = n_keys;
    return matched;
}

// ---- the three sources ----------------------------------------------------------

// Style exposures from the service, indexed by (order_book_id, date).  For
// a factor sampled within the day every timestamp takes the exposures of
// its calendar date.
void style_block(Block &b, py::object self, py::object factor_data, const Grid &grid) {
    auto &pd = frame::pandas();
    const std::string table = "style exposures";
    py::object exog = glob("mivada").attr("get_style_factor_exposure")(
        py::arg("order_book_ids") = grid.columns.attr("tolist")(),
        py::arg("start_date") = grid.index.attr("min")(),
        py::arg("end_date") = grid.index.attr("max")(),
        py::arg("factors") = self.attr("style_factors"));
    const bool daily =
        py::bool_(glob("_is_date_frequency_index")(factor_data.attr("index"))).cast<bool>();
    if (exog.is_none() || (py::hasattr(exog, "__len__") && py::len(exog) == 0)) {
        throw py::value_error(
            "style_factors: the market-data service has no style exposures for these "
            "instruments and dates");
    }
    if (!py::isinstance(exog, pd.attr("DataFrame")) ||
        !py::isinstance(exog.attr("index"), pd.attr("MultiIndex"))) {
        throw py::value_error(table +
                              ": expected a pd.DataFrame indexed by (order_book_id, date), "
                              "got " +
                              type_repr(exog));
    }
    const int id_level = longf::find_level(exog.attr("index"), "order_book_id");
    const int date_level = longf::find_level(exog.attr("index"), "date");
    if (id_level < 0 || date_level < 0) {
        throw py::value_error(table +
                              ": expected the index levels 'order_book_id' and 'date', "
                              "got " +
                              pyc::repr(exog.attr("index").attr("names")));
    }
    check_numeric_columns(exog, table);
    py::object keys = grid.index;
    if (!daily) {
        py::object days = grid.index.attr("normalize")();
        keys = days.attr("unique")();
        Int64Array key(keys.attr("get_indexer")(days));
        b.key.assign(key.data(), key.data() + key.size());
        b.view.key = b.key.data();
    }
    if (match_rows(b, exog, date_level, id_level, keys, grid, table) == 0) {
        throw py::value_error(
            "style_factors: none of the style exposures of the market-data service is for "
            "a date and instrument of factor_data");
    }
}

// The same codes as industry_codes_generic gives for the labels of the module's own
// _load_industry_data, without building the label series.
std::int32_t industry_codes_direct(std::vector<std::int32_t> &cells, py::object self,
                                   const Grid &grid) {
    return industry_cell_codes(cells, self.attr("industry"), grid.index, grid.columns, nullptr);
}

std::string other_name(std::size_t k) { return "other_factors[" + std::to_string(k) + "]"; }

// Truth value of a setting; an object without one (a data frame) counts as
// given.
bool given(py::handle value) {
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) {
        PyErr_Clear();
        return true;
    }
    return truth != 0;
}

// The user tables, checked before anything is loaded.
std::vector<py::object> user_tables(py::object other_factors) {
    auto &pd = frame::pandas();
    std::vector<py::object> tables;
    if (!given(other_factors)) return tables;
    if (!py::isinstance<py::list>(other_factors) && !py::isinstance<py::tuple>(other_factors)) {
        throw py::value_error("other_factors: expected a list or tuple of pd.DataFrame, got " +
                              type_repr(other_factors));
    }
    py::object api = types_api();
    for (py::handle item : other_factors) {
        const std::string name = other_name(tables.size());
        if (!py::isinstance(item, pd.attr("DataFrame"))) {
            throw py::value_error(name + ": expect pd.DataFrame, got " + type_repr(item));
        }
        py::object index = item.attr("index");
        if (!py::isinstance(index, pd.attr("MultiIndex")) || py::len(index.attr("levels")) != 2 ||
            !api.attr("is_datetime64_any_dtype")(index.attr("levels")[py::int_(0)]).cast<bool>()) {
            throw py::value_error(name +
                                  ": expected an index of two levels, the date (datetime64) then "
                                  "the order_book_id, got " +
                                  pyc::repr(index.attr("__class__").attr("__name__")) +
                                  " with levels " + pyc::repr(index.attr("names")));
        }
        check_numeric_columns(py::reinterpret_borrow<py::object>(item), name);
        tables.push_back(py::reinterpret_borrow<py::object>(item));
    }
    return tables;
}

void require_unique(py::object labels, const char *what) {
    if (!labels.attr("is_unique").cast<bool>()) {
        throw py::value_error(std::string("factor_data: ") + what +
                              " has duplicate labels; each label must appear once");
    }
}

// The residual table: the factor's dates; the instruments of the dates'
// series, in the factor's order when every date has the same ones, else
// their sorted union.  A fitted date's series is labelled like the
// exposure table's instrument level (named "order_book_id", its type
// inferred from the labels), an all-NaN or empty date's like the factor's
// columns; the columns keep the name they share.
py::object residual_frame(const frame::OutArray &out, const kern::NeutralizeOutput &res,
                          const Grid &grid) {
    auto &pd = frame::pandas();
    py::object name = grid.columns.attr("name");
    const index_t whole = grid.n_dates - res.fitted_dates;
    if (whole == 0) {
        name = py::str("order_book_id");
    } else if (res.fitted_dates > 0 && !name.equal(py::str("order_book_id"))) {
        name = py::none();
    }
    std::vector<index_t> keep;
    for (index_t j = 0; j < grid.n_inst; ++j)
        if (res.present[static_cast<std::size_t>(j)]) keep.push_back(j);
    const bool all_kept = static_cast<index_t>(keep.size()) == grid.n_inst;
    py::object columns = grid.columns;
    if (!all_kept) {
        Int64Array pos(static_cast<py::ssize_t>(keep.size()));
        std::copy(keep.begin(), keep.end(), pos.mutable_data());
        columns = columns.attr("take")(pos);
    }
    if (whole == 0) {
        columns = pd.attr("Index")(columns.attr("tolist")(), py::arg("name") = name);
    } else if (!name.equal(columns.attr("name"))) {
        columns = columns.attr("rename")(name);
    }
    if (all_kept && res.same_on_every_date) {
        return frame::make_frame(out.array, grid.index, columns);
    }
    if (!res.same_on_every_date) {
        try {
            py::tuple sorted = columns.attr("sort_values")(py::arg("return_indexer") = true);
            Int64Array order(sorted[1]);
            std::vector<index_t> by_label(keep.size());
            for (std::size_t k = 0; k < keep.size(); ++k)
                by_label[k] = keep[static_cast<std::size_t>(order.data()[k])];
            keep.swap(by_label);
            columns = sorted[0];
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_TypeError)) throw;  // labels that do not sort keep their order
        }
    }
    frame::OutArray sel = frame::new_column_major(grid.n_dates, static_cast<index_t>(keep.size()));
    for (std::size_t k = 0; k < keep.size(); ++k) {
        std::memcpy(sel.view.data + static_cast<index_t>(k) * grid.n_dates,
                    out.view.data + keep[k] * grid.n_dates,
                    static_cast<std::size_t>(grid.n_dates) * sizeof(double));
    }
    return frame::make_frame(sel.array, grid.index, columns);
}

}  // namespace

py::object neutralization_process(py::object self, py::object factor_data) {
    const bool style = py::bool_(self.attr("style_neutralize")).cast<bool>();
    const bool industry = py::bool_(self.attr("industry")).cast<bool>();
    py::object other = self.attr("other_factors");
    if (!style && !industry && !given(other)) {
        pyc::warn(kNothingToDo);
        return factor_data;
    }
    glob("_validate_data_frame")(py::arg("df") = factor_data, py::arg("name") = "factor_data");
    py::object zone = factor_data.attr("index").attr("tz");
    if (!zone.is_none()) {
        // Exposures and industries are dated by the wall clock: match on
        // it, and hand the residuals back on the caller's own index.
        py::object index = factor_data.attr("index");
        py::object out = neutralization_process(
            self, factor_data.attr("set_axis")(index.attr("tz_localize")(py::none()),
                                               py::arg("axis") = 0));
        return out.attr("set_axis")(index, py::arg("axis") = 0);
    }
    frame::FrameValues fac = frame::frame_values(factor_data, "factor_data");
    Grid grid;
    grid.index = factor_data.attr("index");
    grid.columns = factor_data.attr("columns");
    grid.n_dates = fac.view.rows;
    grid.n_inst = fac.view.cols;
    require_unique(grid.index, "the date index");
    require_unique(grid.columns, "the columns");
    std::vector<py::object> tables = user_tables(other);

    frame::OutArray out = frame::new_column_major(grid.n_dates, grid.n_inst);
    if (grid.n_dates == 0 || grid.n_inst == 0) {
        return frame::make_frame(out.array, grid.index, grid.columns);
    }

    // Exposure columns: style exposures, industry dummies, user tables.
    std::deque<Block> blocks;
    if (style) style_block(blocks.emplace_back(), self, factor_data, grid);
    std::vector<std::int32_t> industry_cells;
    std::int32_t n_industries = 0;
    if (industry) {
        n_industries = own_industry_loader(glob("_load_industry_data"))
                           ? industry_codes_direct(industry_cells, self, grid)
                           : industry_codes_generic(industry_cells, self, grid);
    }
    for (std::size_t k = 0; k < tables.size(); ++k) {
        Block &b = blocks.emplace_back();
        if (match_rows(b, tables[k], 0, 1, grid.index, grid, other_name(k)) == 0) {
            throw py::value_error(other_name(k) +
                                  ": none of its (date, order_book_id) pairs is a date and "
                                  "instrument of factor_data");
        }
    }

    kern::NeutralizeInput in;
    in.factor = fac.view;
    for (auto &b : blocks) in.blocks.push_back(b.view);
    if (industry) {
        in.industry = industry_cells.data();
        in.n_industries = n_industries;
    }
    kern::NeutralizeOutput res;
    const int threads = thread_count();
    {
        py::gil_scoped_release nogil;
        kern::neutralize(in, out.view, res, threads);
    }
    if (res.infinite_cells > 0) {
        pyc::warn(pyc::format(
            "Neutralization: {} infinite factor or exposure value(s) were left out of the "
            "regressions; those cells are NaN.",
            py::make_tuple(res.infinite_cells)));
    }
    if (res.empty_dates > 0) {
        pyc::warn(pyc::format(
            "Neutralization: {} date(s) have factor values but no instrument with a complete "
            "set of exposures (first: {}); their residuals are NaN.",
            py::make_tuple(res.empty_dates, grid.index[py::int_(res.first_empty_date)])));
    }
    return residual_frame(out, res, grid);
}

}  // namespace tarnfold::bench
