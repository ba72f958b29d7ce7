// Analyser steps: registration, and the helpers shared by the quantile and
// factor return analysers (the IC analysis lives in ic_analysis.cpp).
#include <pybind11/numpy.h>

#include <algorithm>

#include "analysis/holding.hpp"
#include "kernels/holding_growth.hpp"

namespace tarnfold::bench {

void register_ic_analysis(py::module_ &m);
void register_quantile_analysis(py::module_ &m);
void register_factor_return_analysis(py::module_ &m);

namespace holding {

Wide read_wide(py::handle factor_data, py::handle returns, bool with_level) {
    Wide w;
    w.factor = frame::frame_values(factor_data, "factor_data");
    frame::FrameValues ret = frame::frame_values(returns, "returns");
    py::object f_index = factor_data.attr("index");
    if (!f_index.attr("is_unique").cast<bool>()) {
        throw py::value_error(
            "factor_data: the date index has duplicate labels; each date must appear once");
    }
    std::vector<index_t> row_of = frame::positions(returns.attr("index"), f_index,
                                                   "returns: the date index");
    std::vector<index_t> col_of = frame::positions(returns.attr("columns"),
                                                   factor_data.attr("columns"),
                                                   "returns: the columns");
    // Nothing in common would leave every growth missing: flat curves that
    // look like an answer.
    auto none_found = [](const std::vector<index_t> &pos) {
        return std::none_of(pos.begin(), pos.end(), [](index_t k) { return k >= 0; });
    };
    if (none_found(row_of)) {
        throw py::value_error("factor_data and returns have no date in common");
    }
    if (none_found(col_of)) {
        throw py::value_error("factor_data and returns have no order_book_id in common");
    }
    w.n = w.factor.view.rows;
    w.m = w.factor.view.cols;
    w.cum.resize(static_cast<std::size_t>(w.n * w.m));
    if (with_level) w.level.resize(w.cum.size());
    const int threads = thread_count();
    {
        py::gil_scoped_release nogil;
        kern::growth_index(ret.view, row_of, col_of, w.cum.data(),
                           with_level ? w.level.data() : nullptr, threads);
    }
    return w;
}

py::object columns_frame(const std::vector<std::vector<double>> &cols, py::handle index,
                         const std::vector<std::string> &names) {
    const index_t rows = py::len(index);
    frame::OutArray out = frame::new_column_major(rows, static_cast<index_t>(cols.size()));
    for (std::size_t k = 0; k < cols.size(); ++k)
        std::copy(cols[k].begin(), cols[k].end(), out.view.data + static_cast<index_t>(k) * rows);
    py::list labels;
    for (const auto &name : names) labels.append(py::str(name));
    return frame::make_frame(out.array, index, frame::pandas().attr("Index")(labels));
}

}  // namespace holding

void register_analysers(py::module_ &m) {
    register_ic_analysis(m);
    register_quantile_analysis(m);
    register_factor_return_analysis(m);
}

}  // namespace tarnfold::bench
