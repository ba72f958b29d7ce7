// Numbers behind the result summaries that need the whole factor table
// (the summaries themselves are Python: tarnfold.analysis.statistics).
#include <pybind11/numpy.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/arguments.hpp"
#include "kernels/autocorrelation.hpp"
#include "kernels/parallel.hpp"
#include "kernels_module/kernels_module.hpp"

namespace tarnfold::kernels_module {

namespace {

// Integer codes of an object array holding label texts and float NaN: the
// codes pd.factorize gives (first appearance order, -1 for NaN), read with
// one pointer comparison per cell where the labels are shared objects, as
// in a quantile analyser's detail table.  None when a cell holds anything
// else (the caller factorizes it instead).
py::object label_codes(py::array values) {
    if (values.dtype().kind() != 'O') {
        throw py::type_error("values: expected an array of dtype object");
    }
    py::array contiguous = py::array::ensure(values, py::array::c_style);
    const auto *cells = static_cast<PyObject *const *>(contiguous.data());
    const py::ssize_t size = contiguous.size();
    std::vector<py::ssize_t> shape(contiguous.shape(), contiguous.shape() + contiguous.ndim());
    py::array_t<std::int32_t> codes(shape);
    std::int32_t *out = codes.mutable_data();
    py::list uniques;
    py::dict code_of;  // label text -> code
    // The first distinct objects met (up to 16), with their codes: the
    // labels of a table the analyser wrote are a handful of shared objects.
    // Neighbouring cells mostly hold different labels, so each cell is
    // compared with every remembered object without a branch on which one
    // matches.
    constexpr int kRemembered = 16;
    PyObject *seen[kRemembered];
    std::int32_t seen_code[kRemembered];
    int remembered = 0;
    for (py::ssize_t k = 0; k < size; ++k) {
        PyObject *obj = cells[k];
        std::int32_t code = -2;
        for (int s = 0; s < remembered; ++s) {
            const std::int32_t hit = -static_cast<std::int32_t>(seen[s] == obj);
            code = (code & ~hit) | (seen_code[s] & hit);
        }
        if (code == -2) {
            if (PyFloat_Check(obj) && std::isnan(PyFloat_AS_DOUBLE(obj))) {
                code = -1;
            } else if (PyUnicode_Check(obj)) {
                PyObject *found = PyDict_GetItemWithError(code_of.ptr(), obj);
                if (found) {
                    code = static_cast<std::int32_t>(PyLong_AsLong(found));
                } else {
                    if (PyErr_Occurred()) throw py::error_already_set();
                    code = static_cast<std::int32_t>(py::len(uniques));
                    uniques.append(py::reinterpret_borrow<py::object>(obj));
                    code_of[py::reinterpret_borrow<py::object>(obj)] = py::int_(code);
                }
            } else {
                return py::none();
            }
            // The objects of the array stay alive while it does.
            if (remembered < kRemembered) {
                seen[remembered] = obj;
                seen_code[remembered] = code;
                ++remembered;
            }
        }
        out[k] = code;
    }
    return py::make_tuple(codes, uniques);
}

// A `threads=` argument of this module's functions.
int thread_argument(py::handle threads) {
    return static_cast<int>(args::checked_integer(threads, "threads",
                                                  "a positive number of threads", 1));
}

// Per row t of the result and label code k (0 to n_codes - 1): how many
// columns hold k on row t + lag ("now"), on row t ("before"), and on both
// ("stayed"); -1 is no label and is not counted.  One pass over the codes.
py::object label_transition_counts(
    py::array_t<std::int32_t, py::array::c_style | py::array::forcecast> codes, py::ssize_t lag,
    py::ssize_t n_codes, py::object threads) {
    const int workers = thread_argument(threads);
    if (codes.ndim() != 2) throw py::value_error("codes: expected a 2-dimensional array");
    const py::ssize_t n = codes.shape(0), m = codes.shape(1);
    if (lag < 0 || n_codes < 0) {
        throw py::value_error("lag, n_codes: expected a lag of 0 or more and 0 or more codes");
    }
    const py::ssize_t rows = lag < n ? n - lag : 0;
    py::array_t<std::int64_t> now_counts({rows, n_codes}), before_counts({rows, n_codes}),
        stayed_counts({rows, n_codes});
    std::int64_t *now_out = now_counts.mutable_data(), *before_out = before_counts.mutable_data(),
                 *stayed_out = stayed_counts.mutable_data();
    std::fill(now_out, now_out + rows * n_codes, std::int64_t{0});
    std::fill(before_out, before_out + rows * n_codes, std::int64_t{0});
    std::fill(stayed_out, stayed_out + rows * n_codes, std::int64_t{0});
    const std::int32_t *c = codes.data();
    std::atomic<bool> in_range{true};
    {
        py::gil_scoped_release nogil;
        // rows are counted on their own: any split gives the same counts
        const int used = kern::threads_for(rows * m * 2, workers);
        // Each row's counts are tallied with one unconditional increment
        // per table and cell: slot 0 takes the cells without a label, and
        // four copies of the tables, one per column modulo 4, keep
        // neighbouring cells from waiting on each other's increments.
        const py::ssize_t slots = n_codes + 1;
        kern::parallel_chunks(
            rows, used, std::max<index_t>(1, rows / (8 * used)), [&](int, index_t lo, index_t hi) {
                std::vector<std::int64_t> tally(static_cast<std::size_t>(4 * 3 * slots));
                for (py::ssize_t t = lo; t < hi; ++t) {
                    const std::int32_t *now = c + (t + lag) * m, *before = c + t * m;
                    std::fill(tally.begin(), tally.end(), std::int64_t{0});
                    for (py::ssize_t i = 0; i < m; ++i) {
                        const py::ssize_t a = now[i], b = before[i];
                        if (a < -1 || a >= n_codes || b < -1 || b >= n_codes) {
                            in_range.store(false, std::memory_order_relaxed);
                            continue;
                        }
                        std::int64_t *lane = tally.data() + (i & 3) * 3 * slots;
                        ++lane[a + 1];
                        ++lane[slots + b + 1];
                        ++lane[2 * slots + (a == b ? a + 1 : 0)];
                    }
                    std::int64_t *row_now = now_out + t * n_codes,
                                 *row_before = before_out + t * n_codes,
                                 *row_stayed = stayed_out + t * n_codes;
                    for (py::ssize_t k = 0; k < n_codes; ++k) {
                        for (int l = 0; l < 4; ++l) {
                            const std::int64_t *lane = tally.data() + l * 3 * slots;
                            row_now[k] += lane[k + 1];
                            row_before[k] += lane[slots + k + 1];
                            row_stayed[k] += lane[2 * slots + k + 1];
                        }
                    }
                }
            });
    }
    if (!in_range) throw py::value_error("codes: expected codes from -1 to n_codes - 1");
    return py::make_tuple(now_counts, before_counts, stayed_counts);
}

}  // namespace

void register_summaries(py::module_ &m) {
    pyc::def_function(m, "label_codes", "(values)",
                      "(codes, uniques) of an object array of label texts and float NaN, as\n"
                      "pd.factorize gives them (codes int32, shaped like `values`; -1 for NaN),\n"
                      "or None when a cell holds something else.",
                      &label_codes, py::arg("values"));
    pyc::def_function(m, "label_transition_counts", "(codes, lag, n_codes, threads=1)",
                      "(now, before, stayed), each rows x n_codes int64: on each row t, how\n"
                      "many columns of `codes` (label codes from -1, none, to n_codes - 1) hold\n"
                      "code k on row t + lag, on row t, and on both.  Rows are shared out\n"
                      "over up to `threads` threads.",
                      &label_transition_counts, py::arg("codes"), py::arg("lag"),
                      py::arg("n_codes"), py::arg("threads") = 1);
    pyc::def_function(
        m, "rank_autocorrelation", "(factor_data, lags, threads=1)",
        "Spearman correlation of each date's factor with the factor `lag` rows\n"
        "earlier, over the instruments present on both dates: an array of\n"
        "dates x lags, NaN where fewer than two instruments are common.  Dates\n"
        "are shared out over up to `threads` threads (the same numbers).",
        [](py::object factor_data, py::object lags, py::object threads) {
            const int workers = thread_argument(threads);
            std::vector<index_t> ls;
            for (py::handle p : lags) {
                ls.push_back(static_cast<index_t>(pyc::as_integer(p, "lags: expected integers")));
            }
            frame::FrameValues in = frame::frame_values(factor_data, "factor_data");
            frame::OutArray out = frame::new_column_major(in.view.rows,
                                                          static_cast<index_t>(ls.size()));
            {
                py::gil_scoped_release nogil;
                kern::rank_autocorrelation(in.view, ls, out.view.data, workers);
            }
            return py::object(out.array);
        },
        py::arg("factor_data"), py::arg("lags"), py::arg("threads") = 1);
}

}  // namespace tarnfold::kernels_module
