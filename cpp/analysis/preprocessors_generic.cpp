// The preprocessors' paths for functions a caller put in place of the
// module's own: a user's winsorize method, a substituted
// _load_industry_data.  They call those functions exactly as documented and
// hand the answers to the same kernels as the fast paths.
#include <pybind11/numpy.h>

#include <string>

#include "analysis/long_frame.hpp"
#include "analysis/preprocessors.hpp"
#include "analysis/reference_data.hpp"
#include "kernels/least_squares.hpp"

namespace tarnfold::bench {

py::object winsorize_rows_generic(py::object factor_data, py::object winsorize) {
    return factor_data.attr("apply")(winsorize, py::arg("axis") = 1);
}

std::int32_t industry_codes_generic(std::vector<std::int32_t> &cells, py::object self,
                                    const NeutralGrid &grid) {
    auto &pd = frame::pandas();
    const std::string table = "industry labels";
    py::object labels = glob("_load_industry_data")(grid.columns.attr("tolist")(),
                                                    grid.index.attr("tolist")(),
                                                    py::arg("source") = self.attr("industry"));
    if (!py::isinstance(labels, pd.attr("Series")) ||
        !py::isinstance(labels.attr("index"), pd.attr("MultiIndex")) ||
        py::len(labels.attr("index").attr("levels")) != 2) {
        throw py::value_error(table +
                              ": expected a pd.Series indexed by (datetime, order_book_id), "
                              "got " +
                              pyc::type_repr(labels));
    }
    py::object mi = labels.attr("index");
    int date_level = longf::find_level(mi, "datetime");
    int id_level = longf::find_level(mi, "order_book_id");
    if (date_level < 0 || id_level < 0 || date_level == id_level) {
        date_level = 0;
        id_level = 1;
    }
    py::tuple fz = pd.attr("factorize")(labels);
    Int64Array code(fz[0]);
    const auto n_groups = static_cast<std::int32_t>(py::len(fz[1]));

    py::object levels = mi.attr("levels");
    py::object dates = date_level_values(levels[py::int_(date_level)], table);
    Int64Array date_pos(grid.index.attr("get_indexer")(dates));
    Int64Array inst_pos(grid.columns.attr("get_indexer")(levels[py::int_(id_level)]));
    Int64Array cd(mi.attr("codes")[py::int_(date_level)]);
    Int64Array ci(mi.attr("codes")[py::int_(id_level)]);
    cells.assign(static_cast<std::size_t>(grid.n_dates * grid.n_inst), kern::kNoIndustryRow);
    const index_t n = cd.size();
    for (index_t r = 0; r < n; ++r) {
        const long long a = cd.data()[r], b = ci.data()[r];
        if (a < 0 || b < 0) continue;
        const long long t = date_pos.data()[a], j = inst_pos.data()[b];
        if (t < 0 || j < 0) continue;
        std::int32_t &cell = cells[static_cast<std::size_t>(t * grid.n_inst + j)];
        if (cell != kern::kNoIndustryRow) {
            throw py::value_error(table + ": the pair (" + pyc::repr(dates[py::int_(a)]) + ", " +
                                  pyc::repr(levels[py::int_(id_level)][py::int_(b)]) +
                                  ") appears more than once");
        }
        const long long c = code.data()[r];
        cell = c < 0 ? kern::kNoIndustryDummy : static_cast<std::int32_t>(c);
    }
    return n_groups;
}

}  // namespace tarnfold::bench
