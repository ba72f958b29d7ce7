// Analyser steps other than the IC analysis (which lives in ic_analysis.cpp).
#include "analysis/bench.hpp"

namespace tarnfold::bench {

void register_ic_analysis(py::module_ &m);

namespace {

[[noreturn]] void unavailable(const char *what) {
    PyErr_SetString(PyExc_NotImplementedError,
                    (std::string(what) + " is not available in this build yet").c_str());
    throw py::error_already_set();
}

}  // namespace

void register_analysers(py::module_ &m) {
    py::object base = glob("FactorAnalyser");
    register_ic_analysis(m);

    py::object qra = pyc::make_class(m, "QuantileReturnAnalysis", py::make_tuple(base), nullptr);
    pyc::def_method(qra, "__init__", "(self, quantile=5, benchmark=None)", "",
                    [](py::object, py::object, py::object) {
                        unavailable("QuantileReturnAnalysis");
                    },
                    py::arg("self"), py::arg("quantile") = 5, py::arg("benchmark") = py::none());
    pyc::def_method(qra, "analysis", "(self, factor_data, returns, periods, ascending=True)", "",
                    [](py::object, py::object, py::object, py::object, py::object) {
                        unavailable("QuantileReturnAnalysis.analysis");
                    },
                    py::arg("self"), py::arg("factor_data"), py::arg("returns"),
                    py::arg("periods"), py::arg("ascending") = true);

    py::object fra = pyc::make_class(m, "FactorReturnAnalysis", py::make_tuple(base),
                                     " 分析器：因子收益率检验 ");
    pyc::def_method(fra, "analysis", "(self, factor_data, returns, periods, ascending=True)", "",
                    [](py::object, py::object, py::object, py::object, py::object) {
                        unavailable("FactorReturnAnalysis.analysis");
                    },
                    py::arg("self"), py::arg("factor_data"), py::arg("returns"),
                    py::arg("periods"), py::arg("ascending") = true);
}

}  // namespace tarnfold::bench
