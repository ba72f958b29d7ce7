// The assay_bench extension module: imports, constants, class tree.
#include <pybind11/pybind11.h>

#include "analysis/bench.hpp"

namespace py = pybind11;

namespace tarnfold::bench {

namespace {
py::module_ *g_module = nullptr;

// `from module import *`: the names of __all__, or every public name.
void star_import(py::module_ &m, const char *module_name) {
    py::module_ src = py::module_::import(module_name);
    py::object names;
    if (py::hasattr(src, "__all__")) {
        names = src.attr("__all__");
    } else {
        py::list pub;
        for (py::handle key : src.attr("__dict__").attr("keys")()) {
            if (!key.cast<std::string>().starts_with("_")) pub.append(key);
        }
        names = pub;
    }
    for (py::handle name : names) m.attr(name) = src.attr(name);
}
}  // namespace

py::module_ &module() { return *g_module; }

py::object glob(const char *name) { return g_module->attr(name); }

int thread_count() {
    return py::module_::import("tarnfold.threads").attr("thread_count")().cast<int>();
}

}  // namespace tarnfold::bench

PYBIND11_MODULE(assay_bench, m) {
    using namespace tarnfold::bench;
    g_module = new py::module_(m);
    py::options options;
    options.disable_function_signatures();

    m.attr("datetime") = py::module_::import("datetime");
    m.attr("warnings") = py::module_::import("warnings");
    m.attr("defaultdict") = py::module_::import("collections").attr("defaultdict");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("np") = py::module_::import("numpy");
    m.attr("stats") = py::module_::import("scipy.stats");
    m.attr("OLS") = py::module_::import("statsmodels.api").attr("OLS");
    m.attr("mivada") = py::module_::import("mivada");
    m.attr("ttl_cache") = py::module_::import("mivada.decorators").attr("ttl_cache");
    m.attr("to_date_str") = py::module_::import("mivada.utils").attr("to_date_str");
    m.attr("WINSORIZE_METHODS") =
        py::module_::import("tarnfold.analysis.winsorize").attr("WINSORIZE_METHODS");
    star_import(m, "tarnfold.analysis.analysis_result");

    m.attr("VALID_INDUSTRY_SOURCE") = py::make_tuple("citics_2019", "sws");
    m.attr("VALID_WINSORIZE_METHODS") = py::make_tuple("mad", "std", "percentile");

    register_step_bases(m);
    register_inputs(m);
    register_preprocessors(m);
    m.attr("Winsorization") = m.attr("Winzorization");  // the usual spelling, same class
    register_reference_data(m);
    register_analysers(m);
    register_bench(m);

    py::list all;
    for (const char *name :
         {"Winzorization", "Normalization", "Neutralization", "ICAnalysis",
          "QuantileReturnAnalysis", "FactorReturnAnalysis", "FactorAssayBench"}) {
        all.append(name);
    }
    m.attr("__all__") = all;
}
