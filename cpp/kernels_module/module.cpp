// tarnfold._kernels: private kernels for the summaries and the batches.
#include "kernels_module/kernels_module.hpp"

#include "kernels/ranking.hpp"

namespace tarnfold::kernels_module {

void register_ranking(py::module_ &m) {
    // Exposed for tests of the exact bound of the kernels' integer rank sums.
    pyc::def_function(m, "rank_sum_block_length", "(n)",
                      "How many products of two integers below n the rank kernels add in one\n"
                      "signed 64-bit partial sum (a power of two, 1 to 4096).",
                      [](std::uint64_t n) { return kern::sum_block_length(n); }, py::arg("n"));
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
}
