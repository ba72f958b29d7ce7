// The IC analysis with a user's IC function (an `ic_func` the kernels do
// not reproduce): the function is called group by group on the same rows,
// with the same series, as the plain pandas formulation (group-by/apply per
// date, per lag, per industry) would call it.
#include <pybind11/numpy.h>

#include <cmath>
#include <string>
#include <vector>

#include "analysis/ic_analysis.hpp"

namespace tarnfold::bench::ic {

namespace {

// Item k of the IC function's result, which must be a sequence holding it.
py::object result_item(py::handle res, py::ssize_t k) {
    if (!PySequence_Check(res.ptr()) || py::len(res) <= static_cast<std::size_t>(k)) {
        throw py::type_error(
            pyc::format("ic_func: expected a (statistic, p-value) pair as result, got {!r}",
                        py::make_tuple(res)));
    }
    return res[py::int_(k)];
}

py::object rows_array(const std::vector<index_t> &rows, index_t begin, index_t end) {
    Int64Array a(end - begin);
    auto *p = a.mutable_data();
    for (index_t k = begin; k < end; ++k) p[k - begin] = rows[static_cast<std::size_t>(k)];
    return a;
}

// A frame of per-field columns of Python values.
py::object lists_frame(const py::list &fields, const std::vector<py::list> &cols, py::object index,
                       py::object columns) {
    py::dict d;
    for (std::size_t k = 0; k < cols.size(); ++k) d[fields[k]] = cols[k];
    return frame::pandas().attr("DataFrame")(d, py::arg("index") = index,
                                             py::arg("columns") = columns);
}

// A float series of the values at `rows` of one column of the long table.
py::object column_series(const kern::ColumnRef &column, const std::vector<index_t> &rows,
                         py::object index, py::handle name) {
    const index_t m = static_cast<index_t>(rows.size());
    py::array_t<double> values(m);
    for (index_t s = 0; s < m; ++s) values.mutable_data()[s] = column[rows[s]];
    return frame::pandas().attr("Series")(values, py::arg("index") = index, py::arg("name") = name);
}

}  // namespace

py::tuple grouped_ic_generic(py::object ic_func, py::object factor_data, const py::list &fields,
                             const longf::Groups &groups, py::object index, py::object columns,
                             bool with_p_values) {
    factor_data.attr("__getitem__")("factor");  // KeyError without "factor", before any call
    const std::size_t n_fields = fields.size();
    std::vector<py::list> stat_cols(n_fields), p_cols(n_fields);
    py::object take = factor_data.attr("take");
    for (index_t g = 0; g < groups.size(); ++g) {
        py::object block = take(rows_array(groups.rows, groups.start[g], groups.start[g + 1]));
        py::object f = block.attr("__getitem__")("factor");
        for (std::size_t k = 0; k < n_fields; ++k) {
            py::object res = ic_func(block.attr("__getitem__")(fields[k]), f);
            py::object stat = result_item(res, 0);
            if (with_p_values) p_cols[k].append(result_item(res, 1));
            stat_cols[k].append(stat);
        }
    }
    py::object stats = lists_frame(fields, stat_cols, index, columns);
    if (!with_p_values) return py::make_tuple(stats, py::none());
    return py::make_tuple(stats, lists_frame(fields, p_cols, index.attr("copy")(), columns));
}

py::object decay_lags_generic(py::object ic_func, py::object factor_data, const py::list &fields,
                              const longf::Grid &grid, index_t max_lag, py::object columns) {
    longf::Columns cols = longf::read_columns(factor_data, fields);
    const kern::LongTable &t = cols.table;
    const index_t n_fields = static_cast<index_t>(fields.size());
    const index_t n_inst = grid.n_inst;
    py::object frame_index = factor_data.attr("index");
    std::vector<index_t> dates_out, lags_out;
    std::vector<py::list> stat_cols(static_cast<std::size_t>(n_fields));
    for (index_t i = 0; i + 1 < grid.n_dates; ++i) {
        for (index_t d = 1; d < max_lag && i + d < grid.n_dates; ++d) {
            // The factor of date i against the returns of date i + d, over
            // the instruments complete in every field at that lag.
            const index_t *fr = grid.rows.data() + i * n_inst;
            const index_t *rr = grid.rows.data() + (i + d) * n_inst;
            std::vector<index_t> frows, rrows;
            for (index_t s = 0; s < n_inst; ++s) {
                if (fr[s] < 0 || rr[s] < 0) continue;
                if (std::isnan(t.factor[fr[s]])) continue;
                bool complete = true;
                for (const auto &c : t.fields) complete = complete && !std::isnan(c[rr[s]]);
                if (!complete) continue;
                frows.push_back(fr[s]);
                rrows.push_back(rr[s]);
            }
            if (frows.empty()) continue;
            py::object idx = frame_index.attr("take")(
                rows_array(frows, 0, static_cast<index_t>(frows.size())));
            py::object f = column_series(t.factor, frows, idx, py::str("factor"));
            for (index_t k = 0; k < n_fields; ++k) {
                py::object x = column_series(t.fields[static_cast<std::size_t>(k)], rrows, idx,
                                             fields[k]);
                stat_cols[k].append(result_item(ic_func(x, f), 0));
            }
            dates_out.push_back(i);
            lags_out.push_back(d);
        }
    }
    py::object mindex = frame::pandas()
                            .attr("MultiIndex")
                            .attr("from_arrays")(py::make_tuple(grid.dates.attr("take")(
                                                                    longf::int64_array(dates_out)),
                                                                longf::int64_array(lags_out)),
                                                 py::arg("names") = py::make_tuple("datetime",
                                                                                   "decay"));
    return lists_frame(fields, stat_cols, mindex, columns);
}

}  // namespace tarnfold::bench::ic
