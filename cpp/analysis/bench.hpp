// Shared declarations of the assay_bench extension module.  Each subsystem
// registers its classes and functions from its own source file; module.cpp
// assembles them in order.
#pragma once

#include <pybind11/pybind11.h>

#include "common/frame.hpp"
#include "common/pyclass.hpp"

namespace tarnfold::bench {

namespace py = pybind11;

// The module object, set once at import.
py::module_ &module();

// A module global looked up at call time (so that callers may substitute
// `mivada`, `WINSORIZE_METHODS`, ... on the module).
py::object glob(const char *name);

// Raises naming `table` unless the columns of the data frame `df` are a flat
// index of text instrument identifiers.
void check_instrument_labels(py::handle df, const char *table);

// A holding period as a positive integer; TypeError/ValueError naming
// `periods` otherwise (booleans, 0, negatives, values beyond 64 bits).
// With allow_zero, 0 passes (the zero-period return of the formatted frame).
frame::index_t holding_period(py::handle p, bool allow_zero = false);

// Subsystem registration, in the order module.cpp calls them.
void register_step_bases(py::module_ &m);      // FactorPreprocessor, FactorAnalyser
void register_inputs(py::module_ &m);          // validation, formatting, frequency helpers
void register_preprocessors(py::module_ &m);   // Winzorization, Normalization, Neutralization
void register_reference_data(py::module_ &m);  // industry data, listing mask
void register_analysers(py::module_ &m);       // ICAnalysis, QuantileReturnAnalysis, ...
void register_bench(py::module_ &m);           // FactorAssayBench
void register_summaries(py::module_ &m);       // helpers of the result summaries

}  // namespace tarnfold::bench
