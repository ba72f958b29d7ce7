#include "common/arguments.hpp"

#include <algorithm>

#include "common/pyclass.hpp"

namespace tarnfold::args {

index_t checked_integer(py::handle value, const char *argument, const char *expected,
                        index_t minimum) {
    auto refuse = [&](PyObject *type) {
        PyErr_SetString(type, pyc::format("{}: expected {}, got {!r}",
                                          py::make_tuple(argument, expected, value))
                                  .c_str());
        throw py::error_already_set();
    };
    if (PyBool_Check(value.ptr()) ||
        PyObject_IsInstance(value.ptr(), frame::numpy().attr("bool_").ptr()) == 1) {
        refuse(PyExc_TypeError);
    }
    PyObject *i = PyNumber_Index(value.ptr());
    if (!i) {
        PyErr_Clear();
        refuse(PyExc_TypeError);
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i, &overflow);
    Py_DECREF(i);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || v < minimum) refuse(PyExc_ValueError);
    return static_cast<index_t>(v);
}

index_t holding_period(py::handle p, bool allow_zero) {
    return checked_integer(p, "periods", "positive integer holding periods", allow_zero ? 0 : 1);
}

void require_periods_sequence(py::handle periods) {
    if (py::isinstance<py::str>(periods) || py::isinstance<py::bytes>(periods) ||
        !py::hasattr(periods, "__iter__")) {
        throw py::type_error(pyc::format(
            "periods: expected a list or tuple of positive integer holding periods, got {!r}",
            py::make_tuple(periods)));
    }
}

Periods read_periods(py::handle periods, bool allow_zero) {
    require_periods_sequence(periods);
    Periods out;
    for (py::handle p : py::iter(periods)) {
        const index_t value = holding_period(p, allow_zero);
        std::string name = pyc::format("P_{}", py::make_tuple(p));
        if (std::find(out.name.begin(), out.name.end(), name) != out.name.end()) continue;
        out.items.push_back(py::reinterpret_borrow<py::object>(p));
        out.value.push_back(value);
        out.name.push_back(std::move(name));
    }
    return out;
}

}  // namespace tarnfold::args
