#include "common/pyclass.hpp"

#include <deque>

namespace tarnfold::pyc {

namespace {

// `inspect.signature(cls)` does not look through an __init__ written in C++.
// This descriptor, stored as the class's __signature__, answers for classes
// whose __init__ is one of ours (self dropped) and steps aside (None) for
// Python subclasses with an __init__ of their own, and for instances.
py::object init_signature_descriptor() {
    static py::object *descriptor = [] {
        py::dict ns;
        ns["__module__"] = py::str("tarnfold");
        ns["__qualname__"] = py::str("_InitSignature");
        py::object type = py::reinterpret_borrow<py::object>(
            reinterpret_cast<PyObject *>(&PyType_Type));
        py::object cls = type(py::str("_InitSignature"), py::make_tuple(builtin_object()), ns);
        py::cpp_function get(
            [](py::object, py::object instance, py::object owner) -> py::object {
                if (!instance.is_none() || owner.is_none()) return py::none();
                py::object init = owner.attr("__init__");
                if (!PyCFunction_Check(init.ptr())) return py::none();
                py::object sig = py::module_::import("inspect").attr("signature")(init);
                py::list params(sig.attr("parameters").attr("values")());
                py::list rest;
                for (std::size_t k = 1; k < params.size(); ++k) rest.append(params[k]);
                return sig.attr("replace")(py::arg("parameters") = rest);
            },
            py::name("__get__"), py::arg("self"), py::arg("instance"),
            py::arg("owner") = py::none());
        PyObject *m = PyInstanceMethod_New(get.ptr());
        if (!m) throw py::error_already_set();
        py::setattr(cls, "__get__", py::reinterpret_steal<py::object>(m));
        return new py::object(cls());
    }();
    return *descriptor;
}

}  // namespace

py::object builtin_object() { return py::module_::import("builtins").attr("object"); }

py::object new_class(py::module_ &mod, const char *name, py::tuple bases, const char *doc) {
    py::dict ns;
    ns["__module__"] = mod.attr("__name__");
    ns["__qualname__"] = py::str(name);
    ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    py::object type = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject *>(&PyType_Type));
    return type(py::str(name), bases, ns);
}

py::object make_class(py::module_ &mod, const char *name, py::tuple bases, const char *doc) {
    py::object cls = new_class(mod, name, bases, doc);
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
    // Only classes with an __init__ of ours need the signature answered
    // (elsewhere it would show as "__signature__ = None" in help()).
    if (std::string(name) == "__init__") {
        py::setattr(cls, "__signature__", init_signature_descriptor());
    }
    PyObject *m = PyInstanceMethod_New(fn.ptr());
    if (!m) throw py::error_already_set();
    py::setattr(cls, name, py::reinterpret_steal<py::object>(m));
}

std::string repr(py::handle value) { return py::repr(value).cast<std::string>(); }

std::string type_repr(py::handle value) { return pyc::repr(py::type::handle_of(value)); }

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

namespace {
constexpr const char *kTarget = "__call_target__";

PyObject *forward_call(PyObject *holder, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) {
    PyObject *target = PyDict_GetItemString(PyModule_GetDict(holder), kTarget);
    if (!target) {
        PyErr_SetString(PyExc_RuntimeError, "forwarded function has no target");
        return nullptr;
    }
    return PyObject_Vectorcall(target, args, static_cast<size_t>(nargs), kwnames);
}
}  // namespace

py::object plain_builtin(py::object target, const char *name, const char *doc,
                         py::handle module_name) {
    PyObject *holder = PyModule_NewObject(module_name.ptr());
    if (!holder) throw py::error_already_set();
    py::object keep_holder = py::reinterpret_steal<py::object>(holder);
    if (PyDict_SetItemString(PyModule_GetDict(holder), kTarget, target.ptr()) < 0) {
        throw py::error_already_set();
    }
    // Lives as long as the function (for the life of the process).
    auto *def = new PyMethodDef{
        keep(name), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&forward_call)),
        METH_FASTCALL | METH_KEYWORDS, doc};
    PyObject *fn = PyCFunction_NewEx(def, holder, module_name.ptr());
    if (!fn) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(fn);
}

void rename_function(py::handle fn, const char *name) {
    if (!PyCFunction_Check(fn.ptr())) return;
    auto *cf = reinterpret_cast<PyCFunctionObject *>(fn.ptr());
    cf->m_ml->ml_name = keep(name);
}

long long as_integer(py::handle value, const std::string &message) {
    PyObject *i = PyNumber_Index(value.ptr());
    if (!i) {
        PyErr_Clear();
        throw py::type_error(message);
    }
    const long long v = PyLong_AsLongLong(i);
    Py_DECREF(i);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

void assertion_error(const std::string &message) {
    PyErr_SetString(PyExc_AssertionError, message.c_str());
    throw py::error_already_set();
}

}  // namespace tarnfold::pyc
