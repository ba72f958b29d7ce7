#include "common/pyclass.hpp"

#include <deque>

namespace tarnfold::pyc {

py::object make_class(py::module_ &mod, const char *name, py::tuple bases,
                      const char *doc) {
    py::dict ns;
    ns["__module__"] = mod.attr("__name__");
    ns["__qualname__"] = py::str(name);
    ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    py::object type = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject *>(&PyType_Type));
    py::object cls = type(py::str(name), bases, ns);
    mod.attr(name) = cls;
    return cls;
}

std::string text_sig(const char *name, const char *sig, const char *doc) {
    std::string out(name);
    out += sig;
    out += "\n--\n\n";
    out += doc;
    return out;
}

void add_method(py::object cls, const char *name, py::object fn) {
    fn.attr("__module__") = cls.attr("__module__");
    PyObject *m = PyInstanceMethod_New(fn.ptr());
    if (!m) throw py::error_already_set();
    py::setattr(cls, name, py::reinterpret_steal<py::object>(m));
}

py::object module_global(const char *module, const char *name) {
    return py::module_::import(module).attr(name);
}

void warn(const std::string &message) {
    py::module_::import("warnings").attr("warn")(py::str(message));
}

std::string format(const char *templ, const py::tuple &args) {
    return py::str(templ).attr("format")(*args).cast<std::string>();
}

const char *keep(std::string s) {
    static auto *store = new std::deque<std::string>();
    store->push_back(std::move(s));
    return store->back().c_str();
}

void rename_function(py::handle fn, const char *name) {
    if (!PyCFunction_Check(fn.ptr())) return;
    auto *cf = reinterpret_cast<PyCFunctionObject *>(fn.ptr());
    cf->m_ml->ml_name = keep(name);
}

void assertion_error(const std::string &message) {
    PyErr_SetString(PyExc_AssertionError, message.c_str());
    throw py::error_already_set();
}

}  // namespace tarnfold::pyc
