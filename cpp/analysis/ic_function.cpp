// The IC function made by _get_ic_func: a callable object that masks the
// NaN pairs and calls the chosen scipy statistic.  The analyser recognises
// an unmodified one and computes its statistics with the correlation
// kernels instead (kernel_kind).
#include "analysis/ic_analysis.hpp"

namespace tarnfold::bench::ic {

namespace {

// The class of the callables _get_ic_func returns, and the scipy functions
// the kernels reproduce; held for the life of the process (never released
// at interpreter exit).
py::handle g_ic_function_class;
py::handle g_spearmanr;
py::handle g_pearsonr;

}  // namespace

bool kernel_kind(py::handle ic_func, kern::CorrKind &kind) {
    if (!g_ic_function_class || !py::type::handle_of(ic_func).is(g_ic_function_class)) {
        return false;
    }
    py::object d = py::getattr(ic_func, "__dict__", py::none());
    if (!py::isinstance<py::dict>(d)) return false;
    py::dict attrs = d;
    if (!attrs.contains("func")) return false;
    py::object func = attrs["func"];
    if (func.is(g_spearmanr)) {
        kind = kern::CorrKind::Spearman;
        return true;
    }
    if (func.is(g_pearsonr)) {
        kind = kern::CorrKind::Pearson;
        return true;
    }
    return false;
}

namespace {

py::object ic_function_call(py::object self, py::object fs, py::object rs) {
    py::object np = glob("np");
    py::object func = self.attr("func");
    // ~(np.isnan(fs) | np.isnan(rs)), with the operators' full dispatch.
    py::object mask = ~(np.attr("isnan")(fs) | np.attr("isnan")(rs));
    py::object count = mask.attr("sum")();
    if (count > py::int_(1)) {
        return func(fs.attr("__getitem__")(mask), rs.attr("__getitem__")(mask));
    }
    return py::make_tuple(0, 0);
}

py::object get_ic_func(py::object rank_ic) {
    py::object stats = glob("stats");
    py::object func = py::bool_(rank_ic) ? stats.attr("spearmanr") : stats.attr("pearsonr");
    py::object obj = g_ic_function_class();
    obj.attr("func") = func;
    obj.attr("__name__") = py::str("wrapper");
    obj.attr("__qualname__") = py::str("_get_ic_func.<locals>.wrapper");
    obj.attr("__closure__") = py::make_tuple(py::module_::import("types").attr("CellType")(func));
    return obj;
}

}  // namespace

void register_ic_function(py::module_ &m) {
    py::object cls = pyc::new_class(
        m, "ICFunction", py::make_tuple(pyc::builtin_object()),
        "IC function made by _get_ic_func: wrapper(fs, rs) masks the pairs where either "
        "value is NaN and returns func(fs[mask], rs[mask]), or (0, 0) when fewer than two "
        "pairs remain.  `func` is the scipy statistic it calls.");
    pyc::def_method(cls, "__call__", "(self, fs, rs)", "", &ic_function_call, py::arg("self"),
                    py::arg("fs"), py::arg("rs"));
    pyc::def_method(
        cls, "__repr__", "(self)", "",
        [](py::object self) {
            py::object func = py::getattr(self, "func", py::none());
            return pyc::format("<IC function _get_ic_func.<locals>.wrapper calling {}>",
                               py::make_tuple(py::getattr(func, "__name__", func)));
        },
        py::arg("self"));
    py::module_ stats = py::module_::import("scipy.stats");
    // inspect reads the call signature from here: (fs, rs), positional or
    // keyword.
    py::module_ inspect = py::module_::import("inspect");
    py::object param = inspect.attr("Parameter");
    py::object pok = param.attr("POSITIONAL_OR_KEYWORD");
    cls.attr("__signature__") = inspect.attr("Signature")(py::make_tuple(param("fs", pok),
                                                                         param("rs", pok)));
    g_ic_function_class = cls.release();
    g_spearmanr = py::object(stats.attr("spearmanr")).release();
    g_pearsonr = py::object(stats.attr("pearsonr")).release();
    pyc::def_function(m, "_get_ic_func", "(rank_ic=False)",
                      "IC 计算函数: rank_ic 为真时使用 stats.spearmanr, 否则 stats.pearsonr\n\n"
                      "The IC function: (returns, factor) -> (statistic, p-value) over the\n"
                      "pairs where neither is NaN; (0, 0) for fewer than two pairs.",
                      &get_ic_func, py::arg("rank_ic") = false);
}

}  // namespace tarnfold::bench::ic
