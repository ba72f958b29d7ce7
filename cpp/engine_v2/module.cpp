// The eval_core extension module: module-level imports and functions.
#include <pybind11/pybind11.h>

#include "engine_v2/engine.hpp"

namespace tarnfold::engine {

namespace {
py::module_ *g_module = nullptr;
}

py::object glob(const char *name) { return g_module->attr(name); }

bool is_instance_of(py::handle obj, const char *name) { return py::isinstance(obj, glob(name)); }

bool is_real(py::handle obj) {
    // Fast answers for the common types, the ABC for the rest.
    if (PyFloat_Check(obj.ptr()) || PyLong_Check(obj.ptr())) return true;
    if (PyTuple_Check(obj.ptr()) || PyList_Check(obj.ptr())) return false;
    static py::object *real = new py::object(py::module_::import("numbers").attr("Real"));
    return py::isinstance(obj, *real);
}

std::string describe(py::handle obj) {
    return py::str(py::module_::import("tarnfold.interface").attr("describe")(obj))
        .cast<std::string>();
}

void raise_error(py::handle type, const std::string &message) {
    PyErr_SetObject(type.ptr(), py::str(message).ptr());
    throw py::error_already_set();
}

}  // namespace tarnfold::engine

PYBIND11_MODULE(eval_core, m) {
    using namespace tarnfold::engine;
    g_module = new py::module_(m);
    py::options options;
    options.disable_function_signatures();

    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("numbers") = py::module_::import("numbers");
    m.attr("warnings") = py::module_::import("warnings");
    m.attr("mivada") = py::module_::import("mivada");
    m.attr("LeafFactor") = py::module_::import("tarnfold.interface").attr("LeafFactor");
    m.attr("CrossSectionalFactor") =
        py::module_::import("tarnfold.cross_sectional").attr("CrossSectionalFactor");
    m.attr("CrossSectionalKernelFactor") =
        py::module_::import("tarnfold.cross_sectional").attr("CrossSectionalKernelFactor");
    m.attr("GroupKernelFactor") =
        py::module_::import("tarnfold.cross_sectional").attr("GroupKernelFactor");
    m.attr("FixedFactor") = py::module_::import("tarnfold.fix").attr("FixedFactor");
    m.attr("PinnedInstrumentError") =
        py::module_::import("tarnfold.fix").attr("PinnedInstrumentError");
    m.attr("_Factor") = py::module_::import("tarnfold.leaf").attr("_Factor");
    py::module_ utils = py::module_::import("tarnfold.utils");
    for (const char *name : {"get_leaves", "use_dma", "is_cross_sectional",
                             "get_fixed_order_book_ids", "dependency_graph"}) {
        m.attr(name) = utils.attr(name);
    }
    py::module_ ctx = py::module_::import("tarnfold.engine_v2.exec_context");
    for (const char *name :
         {"PRICING_FACTORS", "ThreadingExecContext", "get_universe_mask", "lookback_start"}) {
        m.attr(name) = ctx.attr(name);
    }

    register_eval(m);
    register_driver(m);

    py::list all;
    all.append("execute_factor");
    all.append("ensure_end_date");
    m.attr("__all__") = all;
}
