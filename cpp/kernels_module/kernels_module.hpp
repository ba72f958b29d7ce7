// The tarnfold._kernels extension: kernels that tarnfold's own Python
// modules use (result summaries, batches) and that are no part of the
// assay_bench module's surface.  One source per topic registers its
// functions; module.cpp assembles them.
#pragma once

#include <pybind11/pybind11.h>

#include "common/frame.hpp"
#include "common/pyclass.hpp"

namespace tarnfold::kernels_module {

namespace py = pybind11;
using frame::index_t;

void register_summaries(py::module_ &m);          // rank autocorrelation
void register_batch_correlation(py::module_ &m);  // cross-factor rank correlation
void register_ranking(py::module_ &m);            // the rank-sum block bound
void register_evidence(py::module_ &m);           // Fama-MacBeth, group views, events, health
void register_traded(py::module_ &m);             // trading rules, traded groups

}  // namespace tarnfold::kernels_module
