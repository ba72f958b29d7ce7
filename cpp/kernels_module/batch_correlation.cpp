// Cross-factor rank correlation for pruning a batch of candidate factors
// (tarnfold.batch.factor_correlation reads the stored factor tables in
// blocks of dates and accumulates these sums).
#include <cstdint>
#include <string>
#include <vector>

#include "kernels/cross_rank_correlation.hpp"
#include "kernels_module/kernels_module.hpp"

namespace tarnfold::kernels_module {

void register_batch_correlation(py::module_ &m) {
    pyc::def_function(
        m, "cross_rank_correlation_sums", "(tables)",
        "For a list of K factor tables of one shape (dates x instruments): the\n"
        "sum over dates of the cross-sectional Spearman correlation of every\n"
        "pair of tables, over the instruments valid in both, and the number of\n"
        "dates that had one.  Returns (sums, counts), two K x K arrays (float64\n"
        "and int64) with zeros on the diagonal.",
        [](py::object tables) {
            std::vector<frame::FrameValues> values;
            std::vector<kern::ConstView> views;
            std::size_t i = 0;
            for (py::handle t : tables) {
                values.push_back(frame::frame_values(t, "tables[" + std::to_string(i) + "]"));
                const kern::ConstView &v = values.back().view;
                if (!views.empty() && (v.rows != views[0].rows || v.cols != views[0].cols)) {
                    throw py::value_error(
                        "tables[" + std::to_string(i) + "]: expected the shape of tables[0] (" +
                        std::to_string(views[0].rows) + " x " + std::to_string(views[0].cols) +
                        "), got " + std::to_string(v.rows) + " x " + std::to_string(v.cols));
                }
                views.push_back(v);
                ++i;
            }
            const auto k = static_cast<py::ssize_t>(views.size());
            py::array_t<double> sums({k, k});
            py::array_t<std::int64_t> counts({k, k});
            double *s = sums.mutable_data();
            std::int64_t *c = counts.mutable_data();
            std::fill(s, s + k * k, 0.0);
            std::fill(c, c + k * k, std::int64_t{0});
            {
                py::gil_scoped_release nogil;
                kern::accumulate_cross_rank_correlation(views, s, c);
            }
            return py::make_tuple(sums, counts);
        },
        py::arg("tables"));
}

}  // namespace tarnfold::kernels_module
