// The pipeline driver and the two step base classes.
#include <string>

#include "analysis/bench.hpp"

namespace tarnfold::bench {

namespace {

const char *kAppendDoc =
    "添加分析步骤\n\n"
    ":param step: tuple (name, processor)\n"
    "    预处理器: Winzorization 离群值处理, Neutralization 中性化, Normalization 标准化\n"
    "    分析器: ICAnalysis IC分析, QuantileReturnAnalysis 分组收益分析, "
    "FactorReturnAnalysis 因子收益率分析\n\n"
    "示例::\n\n"
    "    engine = FactorAssayBench()\n"
    "    engine.append(('step_winsorize', Winzorization(method='mad')))\n"
    "    engine.append(('step_ic_analysis', ICAnalysis(rank_ic=True, "
    "industry_classification='citics_2019', max_decay=20)))\n"
    "\n"
    "Add one step, a tuple (name, step).  Preprocessors (Winzorization, also\n"
    "spelt Winsorization; Normalization; Neutralization) run in the order\n"
    "added, each on the previous one's output; analysers (ICAnalysis,\n"
    "QuantileReturnAnalysis, FactorReturnAnalysis) each get the final factor\n"
    "table.  Names must be unique across both kinds.\n";

const char *kAnalysisDoc =
    "执行因子检验\n\n"
    ":param factor_data: 因子值, pd.DataFrame, index 为 datetime (pd.DatetimeIndex), "
    "columns 为 order_book_id\n"
    ":param returns: 'daily' 或 pd.DataFrame, index 和 columns 应与 factor_data 一致\n"
    ":param ascending: 因子排序方向, 默认 False (降序)\n"
    ":param periods: tuple/list/int, 持有期, 默认 1\n"
    ":param keep_preprocess_result: 是否保留预处理结果, 默认 False\n"
    ":return: dict\n\n"
    "示例::\n\n"
    "    factor = mivada.get_factor(order_book_ids, 'pe_ratio', start_date, end_date)\n"
    "    factor = factor['pe_ratio'].unstack(level='order_book_id')\n"
    "    engine = FactorAssayBench()\n"
    "    engine.append(('ic_analysis', ICAnalysis()))\n"
    "    result = engine.analysis(factor_data=factor, returns='daily', ascending=True, "
    "periods=(1, 3))\n"
    "    result['ic_analysis']\n"
    "\n"
    "Run the bench.  factor_data: dates (DatetimeIndex) x order_book_id.\n"
    "returns: 'daily' (daily simple returns loaded from the market-data store\n"
    "up to max(periods) trading days past the last factor date) or a table of\n"
    "daily simple returns (the cell at date t is the return from the previous\n"
    "row's date to t).  ascending: False (default) when larger factor values\n"
    "are better; note that every analyser's own default is True, but the\n"
    "bench always passes this value.  periods: holding periods in rows\n"
    "(trading days); result columns are named P_1, P_5, ... after them.\n"
    "keep_preprocess_result: also return each preprocessor's output table.\n"
    "Both tables are read in date order whatever the order of their rows (the\n"
    "results are in date order), a time-zone-aware index as its wall-clock\n"
    "time; the caller's own tables only get their axes named.\n"
    "Returns a dict step name -> result object (tables, summary(), plot(),\n"
    "show()); tarnfold.report(result, path) writes an HTML report.\n";

bool assertions_enabled() {
    return py::module_::import("sys").attr("flags").attr("optimize").cast<long>() == 0;
}

void name_axes(py::handle df) {
    df.attr("index").attr("name") = py::str("datetime");
    df.attr("columns").attr("name") = py::str("order_book_id");
}

[[noreturn]] void not_implemented(const char *message) {
    PyErr_SetString(PyExc_NotImplementedError, message);
    throw py::error_already_set();
}

// Keeps the market-data store open at the start for the whole analysis,
// when the client offers that: another thread opening a new store meanwhile
// does not change the data this analysis reads.
class StorePin {
public:
    StorePin() {
        py::object pin = py::getattr(glob("mivada"), "pinned_store", py::none());
        if (pin.is_none()) return;
        ctx_ = pin();
        ctx_.attr("__enter__")();
    }
    ~StorePin() {
        if (!ctx_) return;
        try {
            ctx_.attr("__exit__")(py::none(), py::none(), py::none());
        } catch (py::error_already_set &) {
            // Leaving the pin cannot fail the analysis.
        }
    }
    StorePin(const StorePin &) = delete;
    StorePin &operator=(const StorePin &) = delete;

private:
    py::object ctx_;
};

py::object run_analysis(py::object self, py::object factor_data, py::object returns,
                        py::object ascending, py::object periods,
                        py::object keep_preprocess_result) {
    py::list pre = self.attr("preprocess_pipelines");
    py::object analysers = self.attr("analysis_pipelines");
    if (pre.size() == 0 && py::len(analysers) == 0) {
        pyc::warn("no pipelines to execute.");
        return py::none();
    }
    const bool is_seq = py::isinstance<py::tuple>(periods) || py::isinstance<py::list>(periods);
    if (assertions_enabled() && !is_seq && !PyLong_Check(periods.ptr())) {
        pyc::assertion_error(pyc::format("periods must be tuple/list/int, but got {}",
                                         py::make_tuple(py::type::handle_of(periods))));
    }
    glob("_validate_data_frame")(py::arg("df") = factor_data, py::arg("name") = "factor_data");
    // Every holding period is checked before any work (and before the
    // client is asked for dates that far ahead).
    if (is_seq) {
        read_periods(periods);
    } else {
        holding_period(periods);
        py::list one;
        one.append(periods);
        periods = one;
    }
    // The steps see both tables in date order, zone-aware dates as their
    // wall-clock time; the caller's own tables only get their axes named.
    py::object factor = dated_table(factor_data, "factor_data");
    StorePin pin;

    if (py::isinstance<py::str>(returns)) {
        if (returns.cast<std::string>() != "daily") {
            throw py::value_error(pyc::format("returns: expect pd.DataFrame or \"daily\", got {}",
                                              py::make_tuple(returns)));
        }
        check_instrument_labels(factor, "factor_data");
        returns = py::module_::import("tarnfold.analysis.daily_returns")
                      .attr("load_daily_returns")(factor, periods, glob("mivada"));
    } else {
        glob("_validate_data_frame")(py::arg("df") = returns, py::arg("name") = "returns");
    }

    name_axes(factor_data);
    name_axes(returns);
    factor_data = factor;
    returns = dated_table(returns, "returns");
    name_axes(factor_data);
    name_axes(returns);

    py::dict result;
    const bool keep = py::bool_(keep_preprocess_result).cast<bool>();
    for (py::handle step : pre) {
        py::tuple named = py::reinterpret_borrow<py::tuple>(step);
        factor_data = named[1].attr("process")(factor_data);
        if (keep) result[named[0]] = factor_data.attr("copy")();
    }
    for (py::handle item : analysers.attr("items")()) {
        py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
        result[kv[0]] = kv[1].attr("analysis")(factor_data, returns, periods,
                                               py::arg("ascending") = ascending);
    }
    return result;
}

}  // namespace

void register_step_bases(py::module_ &m) {
    py::object pre = pyc::make_class(m, "FactorPreprocessor", py::make_tuple(pyc::builtin_object()),
                                     " 因子数据预处理基类 ");
    pyc::def_method(
        pre, "process", "(self, factor_data)",
        "Return the next factor table (dates x order_book_id) from this one.\n"
        "Subclasses implement it; the base class raises NotImplementedError.",
        [](py::object, py::object) -> py::object {
            not_implemented("Need implement FactorPreprocessor.process");
        },
        py::arg("self"), py::arg("factor_data"));

    py::object ana = pyc::make_class(m, "FactorAnalyser", py::make_tuple(pyc::builtin_object()),
                                     nullptr);
    ana.attr("step_name") = py::str("FactorAnalysisStep");
    pyc::def_method(
        ana, "analysis", "(self, factor_data, returns, periods, ascending=True)",
        "Analyse the preprocessed factor table against the daily returns table\n"
        "for the holding periods `periods` (a list or tuple) and return a\n"
        "result object.  Subclasses implement it; the base class raises\n"
        "NotImplementedError.",
        [](py::object, py::object, py::object, py::object, py::object) -> py::object {
            not_implemented("Need implement FactorAnalyser.analysis");
        },
        py::arg("self"), py::arg("factor_data"), py::arg("returns"), py::arg("periods"),
        py::arg("ascending") = true);
}

void register_bench(py::module_ &m) {
    py::object cls = pyc::make_class(m, "FactorAssayBench", py::make_tuple(pyc::builtin_object()),
                                     " 因子检验引擎 ");

    pyc::def_method(
        cls, "__init__", "(self)", "An empty bench; add steps with append().",
        [](py::object self) {
            self.attr("preprocess_pipelines") = py::list();
            self.attr("analysis_pipelines") = glob("defaultdict")(glob("FactorAnalyser"));
            self.attr("_FactorAssayBench__exists_step_names") = py::list();
        },
        py::arg("self"));

    pyc::def_method(
        cls, "append", "(self, step)", kAppendDoc,
        [](py::object self, py::object step) {
            if (!step.is_none() && Py_TYPE(step.ptr()) != &PyTuple_Type) {
                throw py::type_error(
                    "Argument 'step' has incorrect type (expected tuple, got " +
                    py::type::handle_of(step).attr("__name__").cast<std::string>() + ")");
            }
            if (step.is_none()) throw py::type_error("'NoneType' object is not iterable");
            auto tup = py::reinterpret_borrow<py::tuple>(step);
            if (tup.size() > 2) throw py::value_error("too many values to unpack (expected 2)");
            if (tup.size() < 2) {
                throw py::value_error("not enough values to unpack (expected 2, got " +
                                      std::to_string(tup.size()) + ")");
            }
            py::object name = tup[0], processor = tup[1];
            py::list names = self.attr("_FactorAssayBench__exists_step_names");
            if (names.contains(name)) {
                PyErr_SetString(PyExc_RuntimeError,
                                pyc::format("pipeline step name={} already exists, please use "
                                            "another name.",
                                            py::make_tuple(name))
                                    .c_str());
                throw py::error_already_set();
            }
            names.append(name);
            if (py::isinstance(processor, glob("FactorPreprocessor"))) {
                self.attr("preprocess_pipelines").attr("append")(step);
            } else if (py::isinstance(processor, glob("FactorAnalyser"))) {
                processor.attr("step_name") = name;
                self.attr("analysis_pipelines")[name] = processor;
            } else {
                throw py::value_error(pyc::format("Invalid step={}, unknown processor={}",
                                                  py::make_tuple(name, processor)));
            }
        },
        py::arg("self"), py::arg("step"));

    pyc::def_method(cls, "analysis",
                    "(self, factor_data, returns, ascending=False, periods=1, "
                    "keep_preprocess_result=False)",
                    kAnalysisDoc, &run_analysis, py::arg("self"), py::arg("factor_data"),
                    py::arg("returns"), py::arg("ascending") = false, py::arg("periods") = 1,
                    py::arg("keep_preprocess_result") = false);
}

}  // namespace tarnfold::bench
