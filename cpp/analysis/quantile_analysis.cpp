// QuantileReturnAnalysis: factor-sorted groups, their returns and turnover
// under staggered holding periods, against an optional index benchmark.
//
// The labels of every date, the per-schedule group means, turnover and
// daily group returns are computed by kernels/quantile_groups over the wide
// date x instrument arrays; the schedules are never materialised as
// date x instrument x schedule tables.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "analysis/holding.hpp"
#include "kernels/quantile_groups.hpp"

namespace tarnfold::bench {

namespace {

const char *kInitDoc =
    "因子分组收益分析\n\n"
    ":param quantile: 分组数量, 默认 5\n"
    ":param benchmark: 基准指数 order_book_id, 默认 None\n\n"
    "Factor group (quantile) return analysis.\n\n"
    "quantile: number of groups.  Every date the instruments with a factor value on the\n"
    "    previous date are ranked (ties in column order) and cut into `quantile` groups\n"
    "    of nearly equal size, labelled q1 ... q<quantile>; q1 holds the first-ranked\n"
    "    instruments: the smallest factor values when the bench runs with\n"
    "    ascending=True, the largest otherwise.  A positive integer, at most the\n"
    "    number of instruments of the factor table.\n"
    "benchmark: order_book_id of an index (instrument type \"INDX\") whose cumulative\n"
    "    return over the factor dates is reported beside the groups.  A code the\n"
    "    market-data client does not list, or that is not an index, is refused with a\n"
    "    warning and the analysis runs without a benchmark.\n";

const char *kAnalysisDoc =
    "因子分组收益分析\n\n"
    ":param factor_data: 因子值, pd.DataFrame, index 为 datetime, columns 为 order_book_id\n"
    ":param returns: 日收益率, pd.DataFrame\n"
    ":param periods: 持有期, list/tuple\n"
    ":param ascending: 因子排序方向\n"
    ":return: quantile_factor_returns: 因子分组累计收益\n"
    "         quantile_turnover: 各持有期分组换手率\n"
    "         quantile_long_short_returns: 分组多空收益\n\n"
    "For each holding period p the groups are held as p staggered sub-portfolios\n"
    "lv1 ... lvp: lvk rebalances on rows k, k + p, k + 2p, ... of the factor dates,\n"
    "takes the group labels of its rebalance row (formed from the factor of the row\n"
    "before), buys each group's members in equal amounts and holds them for p rows\n"
    "without reweighting.  A group's daily return for period p is the mean over the\n"
    "sub-portfolios that hold it that day.\n\n"
    "The result (QuantileReturnAnalysisResult) holds:\n"
    "  quantile_returns: cumulative return of each group, index (tag, datetime), one\n"
    "      column P_<p> per period; a date on which a group is empty adds nothing.\n"
    "  quantile_turnover: daily turnover of each group, same layout: the share of the\n"
    "      group's members that joined since its previous date with members (members\n"
    "      that left are not counted), averaged over the sub-portfolios; NaN where the\n"
    "      group is empty.\n"
    "  quantile_detail: the group label of every instrument on every date (NaN on\n"
    "      the first date and where the previous factor value is missing).\n"
    "  benchmark_return: cumulative return of the benchmark index, or None.\n"
    "  top_minus_bottom_returns: daily return of q1 minus that of the last group,\n"
    "      compounded; index datetime, one column per period.\n";

// x.add(1).cumprod().sub(1) over a column, missing values skipped.
void compound(const double *daily, index_t n, double *out) {
    double run = 1.0;
    for (index_t t = 0; t < n; ++t) {
        const double g = daily[t] + 1.0;
        if (std::isnan(g)) {
            out[t] = kern::kNaN;
            continue;
        }
        run *= g;
        out[t] = run - 1.0;
    }
}

// The label of every instrument on every date as an object array: label
// strings, float NaN where there is none.
py::object detail_values(const std::int32_t *labels, index_t n, index_t m, const py::list &tags) {
    py::object arr = frame::numpy().attr("empty")(py::make_tuple(n, m),
                                                  py::arg("dtype") = py::str("O"));
    py::array a = arr;
    auto **cells = static_cast<PyObject **>(a.mutable_data());
    py::float_ nan(kern::kNaN);
    std::vector<PyObject *> by_label;
    for (py::handle tag : tags) by_label.push_back(tag.ptr());
    for (index_t k = 0; k < n * m; ++k) {
        const std::int32_t g = labels[k];
        PyObject *obj = g >= 0 ? by_label[static_cast<std::size_t>(g)] : nan.ptr();
        PyObject *old = cells[k];
        Py_INCREF(obj);
        cells[k] = obj;
        Py_XDECREF(old);
    }
    return arr;
}

index_t group_count(py::handle quantile) {
    return checked_integer(quantile, "quantile", "a positive integer number of groups", 1);
}

void qra_init(py::object self, py::object quantile, py::object benchmark) {
    group_count(quantile);
    self.attr("quantile") = quantile;
    self.attr("benchmark") = py::none();
    if (benchmark.is_none()) return;
    py::object inst = glob("mivada").attr("instruments")(benchmark);
    if (inst.is_none() || py::object(inst.attr("type")).not_equal(py::str("INDX"))) {
        pyc::warn(pyc::format("Invalid benchmark: {} is not INDX order_book_id.",
                              py::make_tuple(benchmark)));
        return;
    }
    self.attr("benchmark") = benchmark;
}

py::object load_benchmark_series(py::object self, py::object index) {
    py::object code = self.attr("benchmark");
    if (code.is_none()) return py::none();
    auto &pd = frame::pandas();
    if (py::len(index) == 0) {
        return pd.attr("Series")(py::arg("index") = index, py::arg("dtype") = "float64",
                                 py::arg("name") = code);
    }
    py::object freq = glob("_get_datetime_freq")(index);
    py::str field = freq.equal(py::str("tick")) ? py::str("last") : py::str("close");
    py::object start = index[py::int_(0)].attr("date")();
    py::object end = index[py::int_(-1)].attr("date")();
    py::list fields;
    fields.append(field);
    py::object price = glob("mivada").attr("get_price")(
        code, py::arg("start_date") = start, py::arg("end_date") = end, py::arg("frequency") = freq,
        py::arg("fields") = fields, py::arg("expect_df") = true);
    if (price.is_none()) {
        py::object text = py::str("No price data for benchmark [{}] from %s to %s")
                              .attr("__mod__")(py::make_tuple(start, end));
        pyc::warn(text.attr("format")(code).cast<std::string>());
        return py::none();
    }
    py::object s = price.attr("__getitem__")(field);
    s.attr("index") = s.attr("index").attr("droplevel")("order_book_id");
    s = s.attr("reindex")(index).attr("ffill")();
    s = s.attr("__truediv__")(s.attr("shift")(1))
            .attr("__sub__")(1);  // change from the previous date
    s = s.attr("fillna")(0);
    s.attr("name") = code;
    return s.attr("add")(1).attr("cumprod")().attr("__sub__")(1);
}

py::object qra_analysis(py::object self, py::object factor_data, py::object returns,
                        py::object periods, py::object ascending) {
    auto &pd = frame::pandas();
    const index_t q = group_count(self.attr("quantile"));
    factor_data = dated_table(factor_data, "factor_data");
    returns = dated_table(returns, "returns");
    Periods per = usable_periods(periods, static_cast<index_t>(py::len(factor_data)));
    holding::Wide w = holding::read_wide(factor_data, returns, false);
    const index_t n = w.n, m = w.m;
    // Refused before the group x date tables are allocated.
    if (q > m) {
        throw py::value_error(pyc::format(
            "quantile: expected at most as many groups as factor_data has instruments ({}), "
            "got {!r}",
            py::make_tuple(m, self.attr("quantile"))));
    }
    py::object index = factor_data.attr("index");
    if (!factor_data.attr("columns").attr("is_unique").cast<bool>()) {
        throw py::value_error(
            "factor_data: the columns have duplicate labels; each instrument must appear once");
    }
    const bool asc = py::bool_(ascending);

    const std::size_t cells = static_cast<std::size_t>(q * n);
    kern::RawVector<std::int32_t> labels(static_cast<std::size_t>(n * m));
    std::vector<std::vector<double>> ret_cols, to_cols, ls_cols;
    const int threads = thread_count();
    {
        py::gil_scoped_release nogil;
        kern::lagged_quantile_labels(w.factor.view, asc, q, labels.data(), threads);
        std::vector<double> daily(cells), ls_daily(static_cast<std::size_t>(n));
        for (index_t p : per.value) {
            std::vector<double> turnover(cells), cumulative(cells),
                long_short(static_cast<std::size_t>(n));
            kern::quantile_period(labels.data(), w.cum.data(), n, m, q, p, daily.data(),
                                  turnover.data(), threads);
            for (double &x : daily)
                if (std::isnan(x)) x = 0.0;  // an empty group earns nothing that day
            for (index_t t = 0; t < n; ++t) ls_daily[t] = daily[t] - daily[(q - 1) * n + t];
            compound(ls_daily.data(), n, long_short.data());
            for (index_t g = 0; g < q; ++g)
                compound(daily.data() + g * n, n, cumulative.data() + g * n);
            ret_cols.push_back(std::move(cumulative));
            to_cols.push_back(std::move(turnover));
            ls_cols.push_back(std::move(long_short));
        }
    }

    py::list tags;
    for (index_t g = 1; g <= q; ++g) tags.append(py::str("q" + std::to_string(g)));
    py::object product = pd.attr("MultiIndex").attr("from_product");
    auto tag_index = [&] {
        return product(py::make_tuple(tags, index),
                       py::arg("names") = py::make_tuple("tag", "datetime"));
    };
    py::object quantile_returns = holding::columns_frame(ret_cols, tag_index(), per.name);
    py::object quantile_turnover = holding::columns_frame(to_cols, tag_index(), per.name);
    py::object top_minus_bottom = holding::columns_frame(ls_cols, index.attr("rename")("datetime"),
                                                         per.name);
    py::object quantile_detail = pd.attr("DataFrame")(
        py::arg("data") = detail_values(labels.data(), n, m, tags), py::arg("index") = index,
        py::arg("columns") = factor_data.attr("columns"), py::arg("dtype") = py::str("O"),
        py::arg("copy") = false);
    py::object benchmark_return = self.attr("_load_benchmark_series")(index);
    return glob("QuantileReturnAnalysisResult")(
        py::arg("quantile_turnover") = quantile_turnover,
        py::arg("quantile_returns") = quantile_returns,
        py::arg("quantile_detail") = quantile_detail,
        py::arg("benchmark_return") = benchmark_return,
        py::arg("top_minus_bottom_returns") = top_minus_bottom,
        py::arg("name") = self.attr("step_name"));
}

}  // namespace

void register_quantile_analysis(py::module_ &m) {
    py::object base = glob("FactorAnalyser");
    py::object cls = pyc::make_class(m, "QuantileReturnAnalysis", py::make_tuple(base), nullptr);
    pyc::def_method(cls, "__init__", "(self, quantile=5, benchmark=None)", kInitDoc, &qra_init,
                    py::arg("self"), py::arg("quantile") = 5, py::arg("benchmark") = py::none());
    pyc::def_method(cls, "_load_benchmark_series", "(self, index)",
                    "基准指数累计收益\n\n"
                    "Cumulative return of the benchmark index on the given dates (0 on the\n"
                    "first; a date without a price repeats the previous value), or None\n"
                    "without a benchmark or without price data.",
                    &load_benchmark_series, py::arg("self"), py::arg("index"));
    pyc::def_method(cls, "analysis", "(self, factor_data, returns, periods, ascending=True)",
                    kAnalysisDoc, &qra_analysis, py::arg("self"), py::arg("factor_data"),
                    py::arg("returns"), py::arg("periods"), py::arg("ascending") = true);
}

}  // namespace tarnfold::bench
