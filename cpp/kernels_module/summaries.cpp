// Numbers behind the result summaries that need the whole factor table
// (the summaries themselves are Python: tarnfold.analysis.statistics).
#include <vector>

#include "kernels/autocorrelation.hpp"
#include "kernels_module/kernels_module.hpp"

namespace tarnfold::kernels_module {

void register_summaries(py::module_ &m) {
    pyc::def_function(
        m, "rank_autocorrelation", "(factor_data, lags)",
        "Spearman correlation of each date's factor with the factor `lag` rows\n"
        "earlier, over the instruments present on both dates: an array of\n"
        "dates x lags, NaN where fewer than two instruments are common.",
        [](py::object factor_data, py::object lags) {
            std::vector<index_t> ls;
            for (py::handle p : lags) {
                ls.push_back(static_cast<index_t>(
                    pyc::as_integer(p, "lags: expected integers")));
            }
            frame::FrameValues in = frame::frame_values(factor_data, "factor_data");
            frame::OutArray out = frame::new_column_major(in.view.rows,
                                                          static_cast<index_t>(ls.size()));
            {
                py::gil_scoped_release nogil;
                kern::rank_autocorrelation(in.view, ls, out.view.data);
            }
            return py::object(out.array);
        },
        py::arg("factor_data"), py::arg("lags"));
}

}  // namespace tarnfold::kernels_module
