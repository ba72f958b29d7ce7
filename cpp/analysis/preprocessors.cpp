// Preprocessor steps: winsorization, normalization, neutralization.
#include <string>

#include "analysis/bench.hpp"
#include "analysis/preprocessors.hpp"
#include "kernels/cross_section.hpp"

namespace tarnfold::bench {

namespace {

// Applies a row kernel to a whole factor table; the result keeps the
// table's index and columns.
template <typename Kernel>
py::object transform_rows(py::object factor_data, const char *table, Kernel &&kernel) {
    frame::FrameValues in = frame::frame_values(factor_data, table);
    frame::OutArray out = frame::new_column_major(in.view.rows, in.view.cols);
    const int threads = thread_count();
    {
        py::gil_scoped_release nogil;
        kernel(in.view, out.view, threads);
    }
    return frame::make_frame(out.array, factor_data.attr("index"), factor_data.attr("columns"));
}

// The clipping rule a WINSORIZE_METHODS entry carries when it is one of the
// kernel-backed methods of tarnfold.analysis.winsorize.
bool kernel_rule(py::handle func, kern::ClipRule &rule) {
    py::object tag = py::getattr(func, "clip_rule", py::none());
    if (!py::isinstance<py::str>(tag)) return false;
    const std::string name = tag.cast<std::string>();
    if (name == "mad") rule = kern::ClipRule::Mad;
    else if (name == "std") rule = kern::ClipRule::Std;
    else if (name == "percentile") rule = kern::ClipRule::Percentile;
    else return false;
    return true;
}

py::object winsorize_process(py::object self, py::object factor_data) {
    py::object winsorize = glob("WINSORIZE_METHODS")[self.attr("method")];
    require_data_frame(factor_data, py::str("factor_data"));
    kern::ClipRule rule;
    // Our own methods clip the whole table at once (and refuse non-numeric
    // tables); a user's callable, or an empty table, goes row by row.
    if (kernel_rule(winsorize, rule) && py::len(factor_data.attr("index")) > 0) {
        return transform_rows(factor_data, "factor_data",
                              [rule](const kern::ConstView &in, const kern::MutView &out,
                                     int threads) { kern::clip_rows(in, out, rule, threads); });
    }
    return winsorize_rows_generic(factor_data, winsorize);
}

const char *kNeutralizeInitDoc =
    "因子中性化处理\n\n"
    ":param industry: 行业中性化参数, 行业数据源, 默认 'citics_2019', 可选 citics_2019/sws/None, "
    "None 表示不做行业中性化\n"
    ":param style_factors: 风格中性化参数, 默认 'all', None 表示不做风格中性化\n"
    ":param other_factors: 自定义因子 DataFrame 列表\n"
    "注意: industry, style_factors, other_factors 不能同时为 None\n\n"
    "Factor neutralization: on every date the factor is regressed (least squares, no added\n"
    "constant) on industry dummies (source 'citics_2019' or 'sws'; None for none), style\n"
    "exposures ('all', a list of style factor names, or None for none) and the columns of\n"
    "the user tables in other_factors (each indexed by (date, order_book_id)), and replaced\n"
    "by the residuals. industry, style_factors and other_factors may not all be None.";

const char *kNeutralizeProcessDoc =
    "因子中性化: 逐日将因子对行业哑变量、风格因子暴露及自定义因子做最小二乘回归 (不加常数项), "
    "返回残差\n\n"
    ":param factor_data: 因子数据, index 为日期, columns 为 order_book_id\n"
    ":return: 残差 DataFrame; 缺少因子值或任一暴露的合约当日为 NaN\n\n"
    "Returns the per-date residuals of the factor on the exposures (dates as index,\n"
    "instruments as columns). An instrument missing the factor value or any exposure on\n"
    "a date is left out of that date's regression and is NaN there; a date whose factor\n"
    "row is all NaN stays all NaN.";

}  // namespace

void register_preprocessors(py::module_ &m) {
    py::object base = glob("FactorPreprocessor");

    py::object win = pyc::make_class(m, "Winzorization", py::make_tuple(base), nullptr);
    pyc::def_method(
        win, "__init__", "(self, method='mad')",
        "离群值数据处理\n\n:param method: 处理方法，默认='mad'，可选 mad/std/percentile",
        [](py::object self, py::object method) {
            py::object valid = glob("VALID_WINSORIZE_METHODS");
            if (!valid.contains(method)) {
                throw py::value_error(pyc::format("method: expect one of {}, got {}",
                                                  py::make_tuple(valid, method)));
            }
            self.attr("method") = method;
        },
        py::arg("self"), py::arg("method") = "mad");
    pyc::def_method(win, "process", "(self, factor_data)", "", &winsorize_process, py::arg("self"),
                    py::arg("factor_data"));

    py::object norm = pyc::make_class(m, "Normalization", py::make_tuple(base), " 标准化方法 ");
    pyc::def_method(
        norm, "process", "(self, factor_data)", "",
        [](py::object, py::object factor_data) {
            require_data_frame(factor_data, py::str("factor_data"));
            return transform_rows(factor_data, "factor_data",
                                  [](const kern::ConstView &in, const kern::MutView &out,
                                     int threads) { kern::zscore_rows(in, out, threads); });
        },
        py::arg("self"), py::arg("factor_data"));

    py::object neu = pyc::make_class(m, "Neutralization", py::make_tuple(base), nullptr);
    pyc::def_method(
        neu, "__init__", "(self, industry='citics_2019', style_factors='all', other_factors=None)",
        kNeutralizeInitDoc,
        [](py::object self, py::object industry, py::object style_factors,
           py::object other_factors) {
            py::object valid = glob("VALID_INDUSTRY_SOURCE");
            if (py::bool_(industry) && !valid.contains(industry)) {
                throw py::value_error(pyc::format("industry: expect one of {}, got {}",
                                                  py::make_tuple(valid, industry)));
            }
            if (industry.is_none() && style_factors.is_none() && other_factors.is_none()) {
                throw py::value_error(
                    "Expect at least one of [industry, style_factors, other_factors] not None, "
                    "but get both None.");
            }
            self.attr("industry") = industry;
            self.attr("style_neutralize") = py::bool_(py::bool_(style_factors));
            self.attr("style_factors") = style_factors.equal(py::str("all"))
                                             ? py::object(py::none())
                                             : style_factors;
            self.attr("other_factors") = other_factors;
        },
        py::arg("self"), py::arg("industry") = "citics_2019", py::arg("style_factors") = "all",
        py::arg("other_factors") = py::none());
    pyc::def_method(neu, "process", "(self, factor_data)", kNeutralizeProcessDoc,
                    &neutralization_process, py::arg("self"), py::arg("factor_data"));
}

}  // namespace tarnfold::bench
