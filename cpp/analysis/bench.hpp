// Shared declarations of the assay_bench extension module.  Each subsystem
// registers its classes and functions from its own source file; module.cpp
// assembles them in order.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "common/arguments.hpp"
#include "common/frame.hpp"
#include "common/pyclass.hpp"

namespace tarnfold::bench {

namespace py = pybind11;
using frame::FloatArray;
using frame::index_t;
using frame::Int64Array;

// The module object, set once at import.
py::module_ &module();

// A module global looked up at call time (so that callers may substitute
// `mivada`, `WINSORIZE_METHODS`, ... on the module).
py::object glob(const char *name);

// The number of threads a step shares its work over:
// tarnfold.threads.thread_count(), read at every call (TARNFOLD_THREADS,
// else one inside a Dask worker, else the cores available).  The results
// are the same for every count.
int thread_count();

// ---- arguments and tables, checked the same way by every step ----------------

// Raises naming `table` unless the columns of the data frame `df` are a flat
// index of text instrument identifiers.
void check_instrument_labels(py::handle df, const char *table);

// ValueError with the texts of _validate_data_frame unless `df` is a data
// frame (require_data_frame) with a DatetimeIndex (validate_data_frame).
void require_data_frame(py::handle df, py::handle name);
void validate_data_frame(py::handle df, py::handle name);

// The table with its rows in date order: a time-zone-aware index read as
// its wall-clock time (as mivada.utils.as_dates reads dates), then a stable
// sort by date when the rows are not in ascending order; the table itself
// when nothing changes.  A missing date (NaT) is a ValueError naming
// `table`.  Anything but a data frame with a DatetimeIndex is returned as
// it is.
py::object in_date_order(py::object df, const char *table);

// validate_data_frame, then in_date_order: the tables every analyser reads.
py::object dated_table(py::object df, const char *table);

// Integer arguments and holding periods, read one way by every step and
// by tarnfold._kernels.holding_periods.
using args::checked_integer;
using args::holding_period;
using args::Periods;
using args::read_periods;
using args::require_periods_sequence;

// The periods an analyser measures on `n_rows` rows: a period at or beyond
// n_rows is dropped with the warning "Invalid periods found: [...], will
// ignore.", and none left is ValueError "Invalid periods, must be less than
// n_rows"; each column name once, at its first position.
Periods usable_periods(py::handle periods, index_t n_rows);

// Subsystem registration, in the order module.cpp calls them.
void register_step_bases(py::module_ &m);      // FactorPreprocessor, FactorAnalyser
void register_inputs(py::module_ &m);          // validation, formatting, frequency helpers
void register_preprocessors(py::module_ &m);   // Winzorization, Normalization, Neutralization
void register_reference_data(py::module_ &m);  // industry data, listing mask
void register_analysers(py::module_ &m);       // ICAnalysis, QuantileReturnAnalysis, ...
void register_bench(py::module_ &m);           // FactorAssayBench

}  // namespace tarnfold::bench
