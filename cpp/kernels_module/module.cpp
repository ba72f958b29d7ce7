// tarnfold._kernels: private kernels for the summaries and the batches.
#include "kernels_module/kernels_module.hpp"

#include "common/arguments.hpp"
#include "kernels/ranking.hpp"

namespace tarnfold::kernels_module {

void register_ranking(py::module_ &m) {
    // Exposed for tests of the exact bound of the kernels' integer rank sums.
    pyc::def_function(
        m, "rank_sum_block_length", "(n)",
        "How many products of two integers below n the rank kernels add in one\n"
        "signed 64-bit partial sum (a power of two, 1 to 4096).",
        [](std::uint64_t n) { return kern::sum_block_length(n); }, py::arg("n"));
}

void register_arguments(py::module_ &m) {
    pyc::def_function(
        m, "holding_periods", "(periods)",
        "The holding periods as the bench reads them: a list or tuple of\n"
        "positive integers (one integer is one period), each period once, in\n"
        "the order given.  TypeError for text, booleans or non-integers,\n"
        "ValueError for periods below 1, worded as the bench words them.",
        [](py::object periods) {
            if (PyNumber_Check(periods.ptr()) && !py::hasattr(periods, "__iter__")) {
                periods = py::make_tuple(periods);
            }
            py::list out;
            for (const auto value : args::read_periods(periods).value) out.append(value);
            return py::tuple(out);
        },
        py::arg("periods"));
}

}  // namespace tarnfold::kernels_module

PYBIND11_MODULE(_kernels, m) {
    using namespace tarnfold::kernels_module;
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Private kernels of tarnfold's summaries and batches (not a public API).";
    register_summaries(m);
    register_batch_correlation(m);
    register_ranking(m);
    register_arguments(m);
    register_evidence(m);
    register_traded(m);
}
