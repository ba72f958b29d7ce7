// FactorReturnAnalysis: cumulative return of the factor-weighted long-short
// portfolio under staggered holding periods (kernels/factor_portfolio).
#include <cmath>
#include <string>
#include <vector>

#include "analysis/holding.hpp"
#include "kernels/factor_portfolio.hpp"

namespace tarnfold::bench {

namespace {

const char *kClassDoc = " 分析器：因子收益率检验 ";

const char *kAnalysisDoc =
    "计算daily returns\n\n"
    "Every date the portfolio holds each instrument with a weight proportional to its\n"
    "previous-date factor value minus that date's cross-sectional mean, scaled so that\n"
    "the absolute weights sum to 1 (long above the mean, short below; the other way\n"
    "round when ascending).  For a holding period p, p staggered sub-portfolios\n"
    "lv1 ... lvp rebalance on rows k, k + p, ... and hold their weights in between;\n"
    "the period's daily return is their mean.  Result (FactorReturnAnalysisResult):\n"
    "factor_returns, the cumulative return per date, one column P_<p> per period.\n"
    "A period at or beyond the number of factor rows is dropped with a warning.\n";

py::object fra_analysis(py::object self, py::object factor_data, py::object returns,
                        py::object periods, py::object ascending) {
    factor_data = dated_table(factor_data, "factor_data");
    returns = dated_table(returns, "returns");
    Periods per = usable_periods(periods, static_cast<index_t>(py::len(factor_data)));
    holding::Wide w = holding::read_wide(factor_data, returns, true);
    const index_t n = w.n, m = w.m;
    const bool negate = py::bool_(ascending);

    std::vector<std::vector<double>> cols(per.value.size());
    const int threads = thread_count();
    {
        py::gil_scoped_release nogil;
        kern::RawVector<double> weights(static_cast<std::size_t>(n * m));
        kern::demeaned_weights(w.factor.view, negate, weights.data(), threads);
        std::vector<double> daily(static_cast<std::size_t>(n));
        for (std::size_t k = 0; k < per.value.size(); ++k) {
            kern::factor_weighted_returns(weights.data(), w.cum.data(), w.level.data(), n, m,
                                          per.value[k], daily.data(), threads);
            std::vector<double> &out = cols[k];
            out.resize(static_cast<std::size_t>(n));
            double run = 1.0;
            for (index_t t = 0; t < n; ++t) {
                const double g = (std::isnan(daily[t]) ? 0.0 : daily[t]) + 1.0;
                if (std::isnan(g)) {
                    out[t] = g;
                    continue;
                }
                run *= g;
                out[t] = run - 1.0;
            }
        }
    }
    py::object index = factor_data.attr("index").attr("rename")("datetime");
    py::object factor_returns = holding::columns_frame(cols, index, per.name);
    return glob("FactorReturnAnalysisResult")(py::arg("factor_returns") = factor_returns,
                                              py::arg("name") = self.attr("step_name"));
}

}  // namespace

void register_factor_return_analysis(py::module_ &m) {
    py::object base = glob("FactorAnalyser");
    py::object cls = pyc::make_class(m, "FactorReturnAnalysis", py::make_tuple(base), kClassDoc);
    pyc::def_method(cls, "analysis", "(self, factor_data, returns, periods, ascending=True)",
                    kAnalysisDoc, &fra_analysis, py::arg("self"), py::arg("factor_data"),
                    py::arg("returns"), py::arg("periods"), py::arg("ascending") = true);
}

}  // namespace tarnfold::bench
