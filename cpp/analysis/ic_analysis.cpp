// IC analysis: the IC function factory and the ICAnalysis analyser.
#include "analysis/bench.hpp"

namespace tarnfold::bench {

void register_ic_analysis(py::module_ &m) {
    py::object base = glob("FactorAnalyser");
    py::object cls = pyc::make_class(m, "ICAnalysis", py::make_tuple(base), nullptr);
    pyc::def_method(cls, "__init__",
                    "(self, rank_ic=True, industry_classification=None, max_decay=None)", "",
                    [](py::object, py::object, py::object, py::object) {
                        PyErr_SetString(PyExc_NotImplementedError,
                                        "ICAnalysis is not available in this build yet");
                        throw py::error_already_set();
                    },
                    py::arg("self"), py::arg("rank_ic") = true,
                    py::arg("industry_classification") = py::none(),
                    py::arg("max_decay") = py::none());
}

}  // namespace tarnfold::bench
