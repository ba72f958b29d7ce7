// tarnfold.engine_v2._operators: the engine's operators for the factor
// classes, which call them outside a factor computation (a `Kernel` called
// on arrays, a cross-sectional factor's `execute`, the industry codes of
// the grouped operators).  It imports nothing of tarnfold, so the factor
// modules can import it while eval_core imports them.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/frame.hpp"
#include "engine_ops/cs_ops.hpp"
#include "engine_ops/ops.hpp"
#include "kernels/industry_codes.hpp"

namespace py = pybind11;

namespace tarnfold::engine {

namespace {

using Int64Array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Int32Array = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

bool is_number(py::handle obj) {
    if (PyFloat_Check(obj.ptr()) || PyLong_Check(obj.ptr())) return true;
    static py::object *real = new py::object(py::module_::import("numbers").attr("Real"));
    return py::isinstance(obj, *real);
}

std::vector<double> read_params(py::handle params) {
    std::vector<double> p;
    for (py::handle v : params) p.push_back(v.cast<double>());
    return p;
}

py::object apply_kernel(const std::string &name, py::handle params, py::handle args) {
    const OpDef *op = find_op(name);
    if (!op) throw py::value_error("op: expected an operator of the engine, got '" + name + "'");
    std::vector<double> p = read_params(params);
    std::vector<py::object> holds;
    std::vector<Value> vals;
    for (py::handle a : args) {
        if (is_number(a)) {
            vals.push_back(Value::of(PyFloat_AsDouble(a.ptr())));
            continue;
        }
        py::object conv = frame::numpy().attr("ascontiguousarray")(a, py::arg("dtype") = "float64");
        auto arr = py::reinterpret_borrow<py::array>(conv);
        if (arr.ndim() != 1) {
            throw py::type_error(name + ": expected numbers or one-dimensional series");
        }
        holds.push_back(conv);
        vals.push_back(Value::series(static_cast<const double *>(arr.data()), arr.shape(0)));
    }
    if (static_cast<int>(vals.size()) != op->nargs) {
        throw py::type_error(name + ": expected " + std::to_string(op->nargs) +
                             " argument(s), got " + std::to_string(vals.size()));
    }
    if (static_cast<int>(p.size()) < op->min_params ||
        static_cast<int>(p.size()) > op->max_params) {
        throw py::value_error(name + ": expected " + std::to_string(op->min_params) +
                              " parameter(s), got " + std::to_string(p.size()));
    }
    std::vector<double> buf, aux;
    OpCall call{vals.data(), static_cast<int>(vals.size()),
                p.data(),    static_cast<int>(p.size()),
                &buf,        &aux,
                -1,          op->name};
    Value v;
    try {
        v = op->run(call);
    } catch (const OpError &e) {
        throw py::value_error(e.message);
    }
    if (v.scalar) return py::float_(v.number);
    py::array_t<double> out(v.len);
    if (v.len) std::memcpy(out.mutable_data(), v.data, sizeof(double) * v.len);
    return out;
}

// Group codes of a rows x cols table, checked, and their strided view.
struct GroupCodes {
    py::array_t<std::int32_t, py::array::forcecast> array;
    kern::CodeView view;
    GroupCodes(py::handle codes, const std::string &op, index_t rows, index_t cols)
        : array(py::array_t<std::int32_t, py::array::forcecast>::ensure(codes)) {
        if (!array || array.ndim() != 2 || array.shape(0) != rows || array.shape(1) != cols) {
            throw py::value_error(op +
                                  ": group codes must be an integer array shaped like the table");
        }
        view = kern::CodeView{array.data(),
                              static_cast<kern::index_t>(array.strides(0) / sizeof(std::int32_t)),
                              static_cast<kern::index_t>(array.strides(1) / sizeof(std::int32_t))};
    }
};

py::object apply_cs_kernel(const std::string &name, py::handle params, py::handle tables,
                           int threads) {
    const CsOpDef *op = find_cs_op(name);
    if (!op) {
        throw py::value_error("op: expected a cross-sectional operator of the engine, got '" +
                              name + "'");
    }
    py::list ts(py::reinterpret_borrow<py::object>(tables));
    const std::size_t want = op->grouped ? 2 : 1;
    if (ts.size() != want) {
        throw py::type_error(name + ": expected " + std::to_string(want) + " table(s), got " +
                             std::to_string(ts.size()));
    }
    std::vector<double> p = read_params(params);
    if (static_cast<int>(p.size()) != op->nparams) {
        throw py::value_error(name + ": expected " + std::to_string(op->nparams) +
                              " parameter(s), got " + std::to_string(p.size()));
    }
    frame::FrameValues in = frame::frame_values(ts[0], name);
    frame::OutArray out = frame::new_column_major(in.view.rows, in.view.cols);
    if (op->grouped) {
        GroupCodes codes(ts[1], name, in.view.rows, in.view.cols);
        const kern::CodeView cv = codes.view;
        py::gil_scoped_release nogil;
        run_cs_op(*op, in.view, &cv, out.view, p.data(), threads);
    } else {
        py::gil_scoped_release nogil;
        run_cs_op(*op, in.view, nullptr, out.view, p.data(), threads);
    }
    return out.array;
}

template <typename Array>
Array one_dimensional(py::handle values, const char *name, py::ssize_t n) {
    Array a = Array::ensure(values);
    if (!a || a.ndim() != 1 || (n >= 0 && a.shape(0) != n)) {
        throw py::value_error(std::string(name) + ": expected a one-dimensional integer array" +
                              (n >= 0 ? " of length " + std::to_string(n) : std::string()));
    }
    return a;
}

py::array industry_codes(py::handle instrument, py::handle start, py::handle code, py::handle dates,
                         py::ssize_t n_instruments, py::handle version, py::handle listed,
                         std::int32_t unclassified) {
    auto inst = one_dimensional<Int64Array>(instrument, "instrument", -1);
    const py::ssize_t n = inst.shape(0);
    auto first = one_dimensional<Int64Array>(start, "start", n);
    auto codes = one_dimensional<Int32Array>(code, "code", n);
    auto days = one_dimensional<Int64Array>(dates, "dates", -1);
    if (n_instruments < 0)
        throw py::value_error("n_instruments: expected a count, got a negative number");
    Int32Array versions;
    if (!version.is_none()) versions = one_dimensional<Int32Array>(version, "version", n);
    const py::ssize_t n_dates = days.shape(0);
    py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast> mask;
    if (!listed.is_none()) {
        mask = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(listed);
        if (!mask || mask.ndim() != 2 || mask.shape(0) != n_dates ||
            mask.shape(1) != n_instruments) {
            throw py::value_error(
                "listed: expected a boolean array of shape (len(dates), n_instruments)");
        }
    }
    py::array_t<std::int32_t> out({n_dates, static_cast<py::ssize_t>(n_instruments)});
    kern::ClassificationRecords records{inst.data(), first.data(), codes.data(),
                                        version.is_none() ? nullptr : versions.data(), n};
    const std::uint8_t *m = listed.is_none() ? nullptr : mask.data();
    std::int32_t *o = out.mutable_data();
    {
        py::gil_scoped_release nogil;
        kern::industry_codes(records, days.data(), n_dates, n_instruments, m, unclassified,
                             unclassified, o);
    }
    return out;
}

}  // namespace

}  // namespace tarnfold::engine

PYBIND11_MODULE(_operators, m) {
    using namespace tarnfold::engine;
    m.doc() = "The engine's operators, for the factor classes (private).";
    m.def("apply_kernel", &apply_kernel, py::arg("op"), py::arg("params"), py::arg("args"),
          "Runs one of the engine's operators on numbers and one-dimensional arrays.");
    m.def("apply_cs_kernel", &apply_cs_kernel, py::arg("op"), py::arg("params"), py::arg("tables"),
          py::arg("threads") = 1,
          "Runs one of the engine's cross-sectional operators on a data frame (and the group "
          "codes of its cells for a grouped one) over up to `threads` threads (the same "
          "numbers whatever the count); returns a column-major array.");
    m.def("industry_codes", &industry_codes, py::arg("instrument"), py::arg("start"),
          py::arg("code"), py::arg("dates"), py::arg("n_instruments"),
          py::arg("version") = py::none(), py::arg("listed") = py::none(),
          py::arg("unclassified") = -1,
          "int32 codes (len(dates) x n_instruments) of the classification records: each cell "
          "takes the code of its instrument's latest record starting on or before the date "
          "(records of a versioned source count only in the version in force on their start "
          "day); `unclassified` without one or where `listed` is False.  Dates and starts are "
          "int64 nanoseconds since 1970-01-01; `instrument` holds each record's column (-1: "
          "none).");
    py::dict ops;
    for (const OpDef &op : op_table())
        ops[py::str(op.name)] = py::make_tuple(op.nargs, op.min_params, op.max_params);
    m.attr("OPERATORS") = ops;
    py::dict cs_ops;
    for (const CsOpDef &op : cs_op_table())
        cs_ops[py::str(op.name)] = py::make_tuple(op.grouped, op.nparams);
    m.attr("CROSS_SECTIONAL_OPERATORS") = cs_ops;
}
