// Reference data: industry classification history and listing-date mask.
#include "analysis/bench.hpp"

namespace tarnfold::bench {

void register_reference_data(py::module_ &) {}

}  // namespace tarnfold::bench
