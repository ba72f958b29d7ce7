// Building plain Python classes from C++.
//
// The step classes of the test bench must behave like ordinary Python classes
// (metaclass `type`, subclassable from Python without trampolines, instance
// attributes in __dict__), so they are made by calling `type(name, bases,
// namespace)` and filled with pybind11 functions wrapped as instance methods.
// Every function carries a CPython text signature so that `inspect.signature`
// reports the real parameters and defaults.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace tarnfold::pyc {

namespace py = pybind11;

// The builtin `object`, base of the step classes.
py::object builtin_object();

// Creates `class name(*bases)` belonging to module `mod` without storing it
// there (for helper classes whose instances are handed out by functions).
py::object new_class(py::module_ &mod, const char *name, py::tuple bases, const char *doc);

// Creates `class name(*bases)` in module `mod` with the given docstring
// (nullptr for none) and stores it as a module attribute.
py::object make_class(py::module_ &mod, const char *name, py::tuple bases, const char *doc);

// Builds the docstring CPython parses into __text_signature__:
// "name(sig)\n--\n\n" followed by the documentation proper.
std::string text_sig(const char *name, const char *sig, const char *doc = "");

// Adds a method: `fn` becomes a function attribute bound like a def.
void add_method(py::object cls, const char *name, py::object fn);

// repr(value), and the repr of its type ("<class 'pandas.Series'>").
std::string repr(py::handle value);
std::string type_repr(py::handle value);

// warnings.warn(message) with the default category.
void warn(const std::string &message);

// Python's str.format on a template.
std::string format(const char *templ, const py::tuple &args);

}  // namespace tarnfold::pyc

namespace tarnfold::pyc {
// Keeps a string alive for the life of the process (docstrings handed to
// pybind11 must outlive the functions they describe).
const char *keep(std::string s);

// Defines `name` on `cls` (a method, `self` first in `sig`) or on a module.
// Renames a pybind11 function object after creation.  pybind11 treats any
// function created under the name "__init__" as a constructor of its own
// classes, so initialisers are created under another name and renamed.
void rename_function(py::handle fn, const char *name);

// A plain builtin function `name` (documentation `doc`, text signature
// included) that forwards every call to `target`.  A pybind11 function is
// bound to its internal function record, which help() would print as
// "from pybind11_builtins.pybind11_detail_function_record_..."; the
// forwarder is bound to a module object instead, which help() treats as an
// unbound function.
py::object plain_builtin(py::object target, const char *name, const char *doc,
                         py::handle module_name);

template <typename Func, typename... Extra>
void def_method(py::object cls, const char *name, const char *sig, const char *doc, Func &&f,
                const Extra &...extra) {
    const bool init = std::string(name) == "__init__";
    const char *full_doc = keep(text_sig(name, sig, doc));
    py::cpp_function fn(std::forward<Func>(f), py::name(init ? "init_" : name), py::doc(full_doc),
                        extra...);
    if (init) rename_function(fn, name);
    add_method(cls, name, plain_builtin(fn, name, full_doc, cls.attr("__module__")));
}

// A module-level function object of `mod` (not yet stored there, so that
// it can be wrapped first).
template <typename Func, typename... Extra>
py::object make_function(py::module_ &mod, const char *name, const char *sig, const char *doc,
                         Func &&f, const Extra &...extra) {
    const char *full_doc = keep(text_sig(name, sig, doc));
    py::object fn = py::cpp_function(std::forward<Func>(f), py::name(name), py::scope(mod),
                                     py::doc(full_doc), extra...);
    return plain_builtin(fn, name, full_doc, mod.attr("__name__"));
}

template <typename Func, typename... Extra>
void def_function(py::module_ &mod, const char *name, const char *sig, const char *doc, Func &&f,
                  const Extra &...extra) {
    mod.attr(name) = make_function(mod, name, sig, doc, std::forward<Func>(f), extra...);
}

// `value` as a C++ integer through its __index__; TypeError(message) when
// it has none.
long long as_integer(py::handle value, const std::string &message);

// Raises AssertionError(message).
[[noreturn]] void assertion_error(const std::string &message);
}  // namespace tarnfold::pyc
