// ICAnalysis: IC per date and period, decay and industry breakdown.
//
// While the analyser holds an unmodified IC function (ic_function.cpp), the
// per-date, per-lag and per-industry statistics are computed by the
// correlation kernels over the whole formatted frame at once; any other
// callable goes through ic_analysis_generic.cpp.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "analysis/ic_analysis.hpp"
#include "analysis/reference_data.hpp"

namespace tarnfold::bench {

using ic::kernel_kind;

namespace ic {

py::object float_frame(const std::vector<double> &values, index_t rows, index_t cols,
                       py::object index, py::object columns) {
    py::array_t<double> arr({rows, cols});
    std::copy(values.begin(), values.end(), arr.mutable_data());
    return frame::make_frame(arr, index, columns);
}

}  // namespace ic

namespace {

using ic::float_frame;

const char *kConstantInput =
    "An input array is constant; the correlation coefficient is not defined.";

const char *kInitDoc =
    "因子IC分析\n\n"
    ":param rank_ic: 默认 True, 使用 stats.spearmanr 计算 IC, 否则使用 stats.pearsonr\n"
    ":param industry_classification: IC 行业分布, 行业数据源, 可选 citics_2019/sws/None, "
    "也可传入 pd.Series 或 dict; 默认 None, 不计算行业分布\n"
    ":param max_decay: IC 衰减期数, 默认 None, 不计算衰减\n\n"
    "注意:\n"
    "    pd.Series: index 为 order_book_id, 值为行业名称, 例如::\n\n"
    "        000001.XSHE    金融服务\n"
    "        600028.XSHG      采掘\n"
    "        601899.XSHG    有色金属\n"
    "        600519.XSHG    食品饮料\n"
    "        300750.XSHE    电气设备\n\n"
    "    dict: key 为 order_book_id, value 为行业名称, 例如 "
    "{'000001.XSHE': '银行', '600837.XSHG': '金融服务'}\n"
    "    缺失的合约行业填充为 \"Unknown\"\n"
    "\n"
    "Factor IC analysis.  For every date and holding period n the IC is the\n"
    "cross-sectional correlation between the factor and the forward return\n"
    "P_n (the return compounded over the n rows after the date).\n\n"
    ":param rank_ic: True (default): Spearman rank correlation; False: Pearson.\n"
    ":param industry_classification: None (default): no industry breakdown;\n"
    "    'citics_2019' or 'sws': industry labels per date from the market-data\n"
    "    store (pairs of instruments not listed on a date are left out); or a\n"
    "    dict / pd.Series mapping order_book_id to an industry name, one fixed\n"
    "    label per instrument, instruments it does not cover going to the\n"
    "    industry \"Unknown\".  The industry IC is one correlation over all\n"
    "    rows of an industry, all dates pooled.\n"
    ":param max_decay: None (default): no decay; an integer N: the IC decay\n"
    "    for lags k = 0 .. N-1, lag k being the IC of the factor on a date\n"
    "    against the forward return of the date k rows later.\n\n"
    "A date with fewer than two (factor, return) pairs holds IC 0 with\n"
    "p-value 0 in the IC table (for example the last n dates of P_n); the\n"
    "result's summary() excludes such dates and counts them.\n";

void warn_constant(const kern::CorrCounters &counters) {
    if (counters.constant_inputs == 0) return;
    py::object category = glob("stats").attr("ConstantInputWarning");
    py::module_::import("warnings").attr("warn")(category(kConstantInput));
}

py::object field_columns(py::handle factor_data, const py::list &fields) {
    py::object cols = frame::pandas().attr("Index")(fields);
    cols.attr("name") = factor_data.attr("columns").attr("name");
    return cols;
}

// ---- _calc_ic ----------------------------------------------------------------

py::tuple calc_ic(py::object self, py::object factor_data) {
    py::object ic_func = self.attr("ic_func");
    py::list fields = glob("_get_return_fields")(factor_data.attr("columns"));
    longf::Groups dates = longf::date_groups(factor_data);
    const index_t n_dates = dates.size();
    const index_t n_fields = static_cast<index_t>(fields.size());
    py::object columns = field_columns(factor_data, fields);
    py::object index = dates.keys;
    index.attr("name") = py::str("datetime");

    kern::CorrKind kind;
    if (kernel_kind(ic_func, kind)) {
        longf::Columns cols = longf::read_columns(factor_data, fields);
        std::vector<double> stat(static_cast<std::size_t>(n_dates * n_fields));
        std::vector<double> pvalue(stat.size());
        kern::CorrCounters counters;
        const int threads = thread_count();
        {
            py::gil_scoped_release nogil;
            kern::grouped_correlation(kind, cols.table, dates.start, dates.rows, stat.data(),
                                      pvalue.data(), counters, threads);
        }
        warn_constant(counters);
        return py::make_tuple(float_frame(stat, n_dates, n_fields, index, columns),
                              float_frame(pvalue, n_dates, n_fields, index.attr("copy")(),
                                          columns));
    }

    return ic::grouped_ic_generic(ic_func, factor_data, fields, dates, index, columns, true);
}

// ---- _calc_ic_decay ------------------------------------------------------------

index_t max_lag_of(py::handle max_decay) {
    const std::string message = pyc::format(
        "max_decay: expected None or an integer number of decay lags, got {!r}",
        py::make_tuple(max_decay));
    try {
        return static_cast<index_t>(pyc::as_integer(max_decay, message));
    } catch (py::error_already_set &e) {
        // Beyond 64 bits: a bad value, not an arithmetic fault.
        if (!e.matches(PyExc_OverflowError)) throw;
        throw py::value_error(message + " (beyond 64 bits)");
    }
}

// The decay table: the IC table as lag 0, then the later lags, sorted.
py::object assemble_decay(py::object ic, py::object lags_frame) {
    py::object lag0 = ic.attr("copy")();
    lag0.attr("__setitem__")("decay", 0);
    lag0 = lag0.attr("set_index")("decay", py::arg("append") = true);
    return frame::pandas().attr("concat")(py::make_tuple(lag0, lags_frame)).attr("sort_index")();
}

py::object decay_rows_frame(const kern::DecayRows &out, const longf::Grid &grid, index_t n_fields,
                            py::object columns) {
    const index_t n_rows = static_cast<index_t>(out.date.size());
    py::object mindex = frame::pandas()
                            .attr("MultiIndex")
                            .attr("from_arrays")(py::make_tuple(grid.dates.attr("take")(
                                                                    longf::int64_array(out.date)),
                                                                longf::int64_array(out.lag)),
                                                 py::arg("names") = py::make_tuple("datetime",
                                                                                   "decay"));
    return float_frame(out.stat, n_rows, n_fields, mindex, columns);
}

py::object calc_ic_decay(py::object self, py::object factor_data, py::object ic) {
    py::object max_decay = self.attr("max_decay");
    if (!py::bool_(max_decay)) return py::none();
    const index_t max_lag = max_lag_of(max_decay);
    py::object ic_func = self.attr("ic_func");
    py::list fields = glob("_get_return_fields")(factor_data.attr("columns"));
    const index_t n_fields = static_cast<index_t>(fields.size());

    longf::Grid grid = longf::date_instrument_grid(factor_data);
    kern::DecayRows out;
    kern::CorrKind kind;
    py::object columns = field_columns(factor_data, fields);
    py::object lags_frame;
    if (kernel_kind(ic_func, kind)) {
        longf::Columns cols = longf::read_columns(factor_data, fields);
        kern::CorrCounters counters;
        const int threads = thread_count();
        {
            py::gil_scoped_release nogil;
            kern::decay_correlation(kind, cols.table, grid.rows, grid.n_dates, grid.n_inst, max_lag,
                                    out, counters, nullptr, nullptr, threads);
        }
        warn_constant(counters);
        lags_frame = decay_rows_frame(out, grid, n_fields, columns);
    } else {
        lags_frame = ic::decay_lags_generic(ic_func, factor_data, fields, grid, max_lag, columns);
    }
    return assemble_decay(ic, lags_frame);
}

// ---- industry labels and the industry IC --------------------------------------

py::object get_industry_data(py::object self, py::object factor_data) {
    auto &pd = frame::pandas();
    py::object industry = self.attr("industry");
    py::object index = factor_data.attr("index");
    if (py::isinstance<py::str>(industry)) {
        return glob("_load_industry_data")(
            py::arg("order_book_ids") =
                index.attr("get_level_values")("order_book_id").attr("unique")(),
            py::arg("dates") = index.attr("get_level_values")("datetime").attr("unique")(),
            py::arg("source") = industry);
    }
    py::object series;
    if (py::isinstance<py::dict>(industry)) {
        series = pd.attr("Series")(industry);
    } else if (py::isinstance(industry, pd.attr("Series"))) {
        series = industry.attr("copy")();
    } else {
        PyErr_SetString(PyExc_RuntimeError,
                        pyc::format("Invalid industry type, expect str/dict/pd.Series, go {} ",
                                    py::make_tuple(py::type::handle_of(industry)))
                            .c_str());
        throw py::error_already_set();
    }
    // One label per instrument level value, then spread over the rows by
    // the level codes: the same labels as looking every row's instrument
    // up in the label series, without a per-row lookup.
    const int lvl = longf::level_number(index, "order_book_id");
    py::object level_values = index.attr("levels")[py::int_(lvl)];
    Int64Array codes(index.attr("codes")[py::int_(lvl)]);
    bool missing = false;
    for (index_t r = 0; r < codes.size(); ++r) missing = missing || codes.data()[r] < 0;
    if (missing) {
        py::object ids = index.attr("get_level_values")("order_book_id");
        series = series.attr("reindex")(ids.attr("unique")()).attr("fillna")("Unknown");
        return pd.attr("Series")(py::arg("index") = index,
                                 py::arg("data") = series.attr("__getitem__")(ids).attr("values"));
    }
    py::object labels = series.attr("reindex")(level_values).attr("fillna")("Unknown");
    py::object values = labels.attr("values").attr("take")(codes);
    return pd.attr("Series")(py::arg("index") = index, py::arg("data") = values);
}

py::handle g_get_industry_data;
bool uses_own(py::handle self, const char *name, py::handle original);

py::object calc_ic_industry_distribute(py::object self, py::object factor_data) {
    py::object industry = self.attr("industry");
    if (industry.is_none()) return py::none();
    py::object ic_func = self.attr("ic_func");
    py::list fields = glob("_get_return_fields")(factor_data.attr("columns"));
    const index_t n_fields = static_cast<index_t>(fields.size());

    longf::Groups groups;
    py::object name = py::none();
    if (py::isinstance<py::str>(industry) &&
        uses_own(self, "_get_industry_data", g_get_industry_data) &&
        own_industry_loader(glob("_load_industry_data"))) {
        // The module's own labels by source name, as industry codes per
        // (date, instrument) cell: the same groups as the label series
        // gives, without one text label per row.
        longf::Grid grid = longf::date_instrument_grid(factor_data);
        // Instruments in order of first occurrence in the table, as the
        // label series is asked for them (unlisted ids are named in that
        // order).
        const index_t n_dates = grid.n_dates, n_inst = grid.n_inst;
        std::vector<index_t> first(static_cast<std::size_t>(n_inst),
                                   std::numeric_limits<index_t>::max());
        for (index_t t = 0; t < n_dates; ++t)
            for (index_t j = 0; j < n_inst; ++j) {
                const index_t row = grid.rows[static_cast<std::size_t>(t * n_inst + j)];
                if (row >= 0) first[j] = std::min(first[j], row);
            }
        std::vector<index_t> order(static_cast<std::size_t>(n_inst));
        std::iota(order.begin(), order.end(), index_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](index_t a, index_t b) { return first[a] < first[b]; });
        std::vector<std::int32_t> cells;
        py::object names;
        industry_cell_codes(cells, industry, grid.dates,
                            grid.instruments.attr("take")(longf::int64_array(order)), &names);
        std::vector<index_t> code(py::len(factor_data), -1);
        for (index_t t = 0; t < n_dates; ++t)
            for (index_t jj = 0; jj < n_inst; ++jj) {
                const std::int32_t c = cells[static_cast<std::size_t>(t * n_inst + jj)];
                const index_t row = grid.rows[static_cast<std::size_t>(t * n_inst + order[jj])];
                if (row >= 0 && c >= 0) code[static_cast<std::size_t>(row)] = c;
            }
        groups = longf::code_groups(std::move(code), names);
    } else {
        py::object industry_data = self.attr("_get_industry_data")(factor_data);
        // Labels are matched to the table's rows by their (date, instrument)
        // index; rows without a label take part in no industry.
        py::object aligned = industry_data;
        if (!industry_data.attr("index").is(factor_data.attr("index"))) {
            aligned = industry_data.attr("reindex")(factor_data.attr("index"));
        }
        groups = longf::label_groups(aligned);
        name = industry_data.attr("name");
    }
    const index_t n_groups = groups.size();
    py::object index = groups.keys;
    index.attr("name") = name;
    py::object columns = field_columns(factor_data, fields);

    kern::CorrKind kind;
    if (kernel_kind(ic_func, kind)) {
        longf::Columns cols = longf::read_columns(factor_data, fields);
        std::vector<double> stat(static_cast<std::size_t>(n_groups * n_fields));
        kern::CorrCounters counters;
        const int threads = thread_count();
        {
            py::gil_scoped_release nogil;
            kern::grouped_correlation(kind, cols.table, groups.start, groups.rows, stat.data(),
                                      nullptr, counters, threads);
        }
        warn_constant(counters);
        return float_frame(stat, n_groups, n_fields, index, columns);
    }
    return ic::grouped_ic_generic(ic_func, factor_data, fields, groups, index, columns, false)[0];
}

// ---- constructor and entry point -----------------------------------------------

void ic_analysis_init(py::object self, py::object rank_ic, py::object industry_classification,
                      py::object max_decay) {
    auto &pd = frame::pandas();
    if (!industry_classification.is_none()) {
        const bool is_str = py::isinstance<py::str>(industry_classification);
        if (!is_str && !py::isinstance<py::dict>(industry_classification) &&
            !py::isinstance(industry_classification, pd.attr("Series"))) {
            throw py::value_error(
                pyc::format("Unsupported industry_classification type, expect one of "
                            "None/str/pd.Series/dict, got type={}",
                            py::make_tuple(py::type::handle_of(industry_classification))));
        }
        py::object valid = glob("VALID_INDUSTRY_SOURCE");
        if (is_str && !valid.contains(industry_classification)) {
            throw py::value_error(pyc::format("industry_classification: expect one of {}, got {}",
                                              py::make_tuple(valid, industry_classification)));
        }
    }
    self.attr("rank_ic") = rank_ic;
    self.attr("ic_func") = glob("_get_ic_func")(rank_ic);
    self.attr("industry") = industry_classification;
    self.attr("max_decay") = max_decay;
}

// The step methods as registered, to tell whether an instance still uses
// them (no subclass or instance override).
py::handle g_calc_ic, g_calc_ic_decay;

bool uses_own(py::handle self, const char *name, py::handle original) {
    py::object bound = py::getattr(self, name, py::none());
    py::object func = py::getattr(bound, "__func__", py::none());
    return func.is(original);
}

py::object ic_analysis(py::object self, py::object factor_data, py::object returns,
                       py::object periods, py::object ascending) {
    factor_data = dated_table(factor_data, "factor_data");
    returns = dated_table(returns, "returns");
    // Forward returns are counted in rows of the returns: a period with no
    // row that far ahead is dropped, as the holding-period analysers drop
    // theirs.  (IC needs periods of at least one day; the formatting itself
    // also accepts 0.)
    const index_t n_returns = static_cast<index_t>(py::len(returns));
    Periods per = usable_periods(periods, n_returns);
    if (per.dropped || !(py::isinstance<py::list>(periods) || py::isinstance<py::tuple>(periods))) {
        py::list kept;
        for (const py::object &p : per.items) kept.append(p);
        periods = kept;
    }
    py::object fd = glob("_format_factor_data")(factor_data, returns, periods);
    if (py::bool_(self.attr("rank_ic")) && py::bool_(ascending)) {
        fd.attr("__setitem__")("factor", fd.attr("__getitem__")("factor").attr("__mul__")(-1));
    }
    py::object ic, ic_p_value, ic_decay;
    kern::CorrKind kind;
    if (kernel_kind(self.attr("ic_func"), kind) && kind == kern::CorrKind::Spearman &&
        uses_own(self, "_calc_ic", g_calc_ic) &&
        uses_own(self, "_calc_ic_decay", g_calc_ic_decay)) {
        // IC, p-values and decay from one pass that sorts each date once;
        // the same numbers as _calc_ic and _calc_ic_decay give.
        py::object max_decay = self.attr("max_decay");
        const bool decay = py::bool_(max_decay);
        const index_t max_lag = decay ? max_lag_of(max_decay) : 0;
        py::list fields = glob("_get_return_fields")(fd.attr("columns"));
        const index_t n_fields = static_cast<index_t>(fields.size());
        longf::Grid grid = longf::date_instrument_grid(fd);
        longf::Columns cols = longf::read_columns(fd, fields);
        std::vector<double> stat(static_cast<std::size_t>(grid.n_dates * n_fields));
        std::vector<double> pvalue(stat.size());
        kern::DecayRows out;
        kern::CorrCounters counters;
        const int threads = thread_count();
        {
            py::gil_scoped_release nogil;
            kern::decay_correlation(kind, cols.table, grid.rows, grid.n_dates, grid.n_inst, max_lag,
                                    out, counters, stat.data(), pvalue.data(), threads);
        }
        warn_constant(counters);
        py::object columns = field_columns(fd, fields);
        py::object index = grid.dates;
        index.attr("name") = py::str("datetime");
        ic = float_frame(stat, grid.n_dates, n_fields, index, columns);
        ic_p_value = float_frame(pvalue, grid.n_dates, n_fields, index.attr("copy")(), columns);
        ic_decay = decay ? assemble_decay(ic, decay_rows_frame(out, grid, n_fields, columns))
                         : py::object(py::none());
    } else {
        py::tuple ic_pair = self.attr("_calc_ic")(fd);
        ic = ic_pair[0];
        ic_p_value = ic_pair[1];
        ic_decay = self.attr("_calc_ic_decay")(fd, ic);
    }
    py::object ic_industry = self.attr("_calc_ic_industry_distribute")(fd);
    return glob("ICAnalysisResult")(py::arg("ic") = ic, py::arg("ic_p_value") = ic_p_value,
                                    py::arg("ic_decay") = ic_decay,
                                    py::arg("ic_industry_distribute") = ic_industry,
                                    py::arg("name") = self.attr("step_name"));
}

}  // namespace

void register_ic_analysis(py::module_ &m) {
    ic::register_ic_function(m);

    py::object base = glob("FactorAnalyser");
    py::object cls = pyc::make_class(m, "ICAnalysis", py::make_tuple(base), nullptr);
    pyc::def_method(cls, "__init__",
                    "(self, rank_ic=True, industry_classification=None, max_decay=None)", kInitDoc,
                    &ic_analysis_init, py::arg("self"), py::arg("rank_ic") = true,
                    py::arg("industry_classification") = py::none(),
                    py::arg("max_decay") = py::none());
    pyc::def_method(cls, "_get_industry_data", "(self, factor_data)", "", &get_industry_data,
                    py::arg("self"), py::arg("factor_data"));
    pyc::def_method(cls, "_calc_ic", "(self, factor_data)", "", &calc_ic, py::arg("self"),
                    py::arg("factor_data"));
    pyc::def_method(cls, "_calc_ic_decay", "(self, factor_data, ic)", "", &calc_ic_decay,
                    py::arg("self"), py::arg("factor_data"), py::arg("ic"));
    pyc::def_method(cls, "_calc_ic_industry_distribute", "(self, factor_data)", "",
                    &calc_ic_industry_distribute, py::arg("self"), py::arg("factor_data"));
    pyc::def_method(cls, "analysis", "(self, factor_data, returns, periods, ascending=True)",
                    "IC of the factor table (dates x instruments) against the daily returns\n"
                    "table for each period of `periods`; returns an ICAnalysisResult with\n"
                    "ic, ic_p_value, ic_decay and ic_industry_distribute.  With rank_ic and\n"
                    "a truthy `ascending` (smaller values are better) the factor is negated\n"
                    "first, so a good factor shows a positive IC.  The analyser's own\n"
                    "default is ascending=True; FactorAssayBench passes its own (False).\n"
                    "A period at or beyond the number of returns rows (no forward return\n"
                    "on any date) is dropped with a warning.",
                    &ic_analysis, py::arg("self"), py::arg("factor_data"), py::arg("returns"),
                    py::arg("periods"), py::arg("ascending") = true);
    py::dict attrs = cls.attr("__dict__");
    g_calc_ic = py::object(attrs["_calc_ic"].attr("__func__")).release();
    g_calc_ic_decay = py::object(attrs["_calc_ic_decay"].attr("__func__")).release();
    g_get_industry_data = py::object(attrs["_get_industry_data"].attr("__func__")).release();
}

}  // namespace tarnfold::bench
