// Kernels behind tarnfold.evidence: Fama-MacBeth regressions, group views,
// the event study and the data health checks.  Arrays in, arrays out; the
// Python side aligns the tables and builds the frames.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernels/aligned_returns.hpp"
#include "kernels/data_health.hpp"
#include "kernels/event_study.hpp"
#include "kernels/fama_macbeth.hpp"
#include "kernels/group_views.hpp"
#include "kernels_module/kernels_module.hpp"

namespace tarnfold::kernels_module {

namespace {

using RowMajor = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Int64Vec = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Int32Rows = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

// A 2-D float64 array of any layout as a strided view (a copy only when it
// is not float64 or not addressable element by element).
struct Table {
    py::array array;
    kern::ConstView view;
};

Table table(py::handle obj, const std::string &what) {
    py::array a = py::array::ensure(obj);
    if (!a || a.ndim() != 2) throw py::value_error(what + ": expected a 2-D array");
    if (!a.dtype().is(py::dtype::of<double>()) || a.strides(0) % sizeof(double) ||
        a.strides(1) % sizeof(double))
        a = RowMajor::ensure(a);
    Table t{a, {}};
    t.view.data = static_cast<const double *>(a.data());
    t.view.rows = a.shape(0);
    t.view.cols = a.shape(1);
    t.view.row_stride = a.strides(0) / static_cast<py::ssize_t>(sizeof(double));
    t.view.col_stride = a.strides(1) / static_cast<py::ssize_t>(sizeof(double));
    return t;
}

RowMajor row_major(py::handle obj, index_t rows, index_t cols, const std::string &what) {
    RowMajor a = RowMajor::ensure(obj);
    if (!a || a.ndim() != 2 || a.shape(0) != rows || a.shape(1) != cols)
        throw py::value_error(what + ": expected a float array of shape (" + std::to_string(rows) +
                              ", " + std::to_string(cols) + ")");
    return a;
}

Int32Rows codes(py::handle obj, index_t rows, index_t cols, const std::string &what) {
    Int32Rows a = Int32Rows::ensure(obj);
    if (!a || a.ndim() != 2 || a.shape(0) != rows || a.shape(1) != cols)
        throw py::value_error(what + ": expected an integer array of shape (" +
                              std::to_string(rows) + ", " + std::to_string(cols) + ")");
    return a;
}

std::vector<index_t> positions(py::handle obj, index_t size, index_t bound,
                               const std::string &what) {
    Int64Vec a = Int64Vec::ensure(obj);
    if (!a || a.ndim() != 1 || a.shape(0) != size)
        throw py::value_error(what + ": expected " + std::to_string(size) + " positions");
    std::vector<index_t> out(static_cast<std::size_t>(size));
    for (index_t k = 0; k < size; ++k) {
        const std::int64_t v = a.data()[k];
        if (v >= bound)
            throw py::value_error(what + ": position " + std::to_string(v) + " out of range");
        out[static_cast<std::size_t>(k)] = v < 0 ? -1 : static_cast<index_t>(v);
    }
    return out;
}

std::vector<index_t> period_list(py::handle periods) {
    std::vector<index_t> out;
    for (py::handle p : periods) {
        const long long v = pyc::as_integer(p, "periods: expected integers");
        if (v < 1) throw py::value_error("periods: expected positive integers");
        out.push_back(static_cast<index_t>(v));
    }
    return out;
}

// The returns table, its growth factors and the factor grid's positions in it.
// A returns table with its growth factors, made once and handed to every
// kernel of a bench run (ReturnsTable in Python).
struct ReturnsTable {
    Table returns;
    kern::GrowthFactors growth;
};

struct Alignment {
    std::shared_ptr<ReturnsTable> table;
    std::vector<index_t> rows, cols;
    kern::AlignedReturns aligned() const {
        kern::AlignedReturns a;
        a.growth = &table->growth;
        a.row = rows.data();
        a.col = cols.data();
        a.n_dates = static_cast<index_t>(rows.size());
        a.n_inst = static_cast<index_t>(cols.size());
        return a;
    }
};

std::shared_ptr<ReturnsTable> returns_table(py::handle returns) {
    auto out = std::make_shared<ReturnsTable>();
    out->returns = table(returns, "returns");
    {
        py::gil_scoped_release nogil;
        kern::growth_factors(out->returns.view, out->growth);
    }
    return out;
}

// `returns`: a 2-D array or a ReturnsTable made of one.
void align(Alignment &al, py::handle returns, py::handle rows, py::handle cols, index_t n,
           index_t m) {
    if (py::isinstance<ReturnsTable>(returns)) {
        al.table = returns.cast<std::shared_ptr<ReturnsTable>>();
    } else {
        al.table = returns_table(returns);
    }
    const kern::ConstView &v = al.table->returns.view;
    al.rows = positions(rows, n, v.rows, "returns_rows");
    al.cols = positions(cols, m, v.cols, "returns_cols");
}

// The factor table read row-major and aligned with the returns.
struct Inputs {
    RowMajor factor;
    Alignment al;
    index_t n = 0, m = 0;
    kern::ConstView view() const { return kern::ConstView{factor.data(), n, m, m, 1}; }
};

void read_inputs(Inputs &in, py::handle factor, py::handle returns, py::handle rows,
                 py::handle cols) {
    Table f = table(factor, "factor");
    in.n = f.view.rows;
    in.m = f.view.cols;
    in.factor = RowMajor::ensure(f.array);
    align(in.al, returns, rows, cols, in.n, in.m);
}

py::array_t<double> shaped(const std::vector<py::ssize_t> &shape) {
    return py::array_t<double>(shape);
}

py::object fama_macbeth(py::handle factor, py::handle returns, py::handle rows, py::handle cols,
                        py::handle periods, py::handle exposures, py::handle exposure_rows,
                        py::handle industry, std::int32_t n_industries) {
    Inputs data;
    read_inputs(data, factor, returns, rows, cols);
    const index_t n = data.n, m = data.m;
    Alignment &al = data.al;
    kern::FamaMacBethInput in;
    in.factor = data.view();
    in.periods = period_list(periods);
    std::vector<RowMajor> columns;
    Int64Vec rowmap;
    if (!exposures.is_none()) {
        for (py::handle c : exposures) {
            RowMajor col = RowMajor::ensure(c);
            if (!col || col.ndim() != 1)
                throw py::value_error("exposures: expected 1-D float arrays");
            columns.push_back(col);
        }
    }
    if (!columns.empty()) {
        rowmap = Int64Vec::ensure(exposure_rows);
        if (!rowmap || rowmap.ndim() != 2 || rowmap.shape(0) != m || rowmap.shape(1) != n)
            throw py::value_error(
                "exposure_rows: expected an integer array of shape (instruments, dates)");
        const py::ssize_t size = columns[0].shape(0);
        for (const auto &c : columns)
            if (c.shape(0) != size)
                throw py::value_error("exposures: expected columns of one length");
        for (py::ssize_t k = 0; k < rowmap.size(); ++k)
            if (rowmap.data()[k] >= size) throw py::value_error("exposure_rows: row out of range");
        kern::ExposureBlock b;
        for (const auto &c : columns) b.columns.push_back(c.data());
        b.rows = rowmap.data();
        b.n_keys = n;
        in.blocks.push_back(b);
    }
    Int32Rows ind;
    if (!industry.is_none()) {
        ind = codes(industry, n, m, "industry");
        for (py::ssize_t k = 0; k < ind.size(); ++k)
            if (ind.data()[k] >= n_industries) throw py::value_error("industry: code out of range");
        in.industry = ind.data();
        in.n_industries = n_industries;
    }
    const auto np_ = static_cast<py::ssize_t>(in.periods.size());
    py::array_t<double> premium = shaped({np_, n}), r2 = shaped({np_, n});
    py::array_t<std::int64_t> obs({np_, static_cast<py::ssize_t>(n)});
    {
        py::gil_scoped_release nogil;
        in.returns = al.aligned();
        kern::fama_macbeth(in, premium.mutable_data(), obs.mutable_data(), r2.mutable_data());
    }
    return py::make_tuple(premium, obs, r2);
}

py::object group_views(py::handle factor, py::handle returns, py::handle rows, py::handle cols,
                       py::handle periods, index_t quantile, py::handle industry,
                       std::int32_t n_industries, py::handle size, index_t size_buckets,
                       bool cap_weighted) {
    if (quantile < 1) throw py::value_error("quantile: expected a positive integer");
    if (size_buckets < 1) throw py::value_error("size_buckets: expected a positive integer");
    Inputs data;
    read_inputs(data, factor, returns, rows, cols);
    const index_t n = data.n, m = data.m;
    Alignment &al = data.al;
    kern::GroupViewInput in;
    in.factor = data.view();
    in.periods = period_list(periods);
    in.quantile = quantile;
    in.size_buckets = size_buckets;
    in.cap_weighted = cap_weighted;
    Int32Rows ind;
    if (!industry.is_none()) {
        ind = codes(industry, n, m, "industry");
        in.industry = ind.data();
        in.n_industries = n_industries;
    }
    RowMajor sz;
    if (!size.is_none()) {
        sz = row_major(size, n, m, "size");
        in.size = sz.data();
    }
    if (cap_weighted && size.is_none()) throw py::value_error("cap_weighted: needs size");
    const auto P = static_cast<py::ssize_t>(in.periods.size());
    const auto N = static_cast<py::ssize_t>(n), Q = static_cast<py::ssize_t>(quantile),
               G = static_cast<py::ssize_t>(in.industry ? n_industries : 0),
               B = static_cast<py::ssize_t>(size_buckets);
    py::dict out;
    py::array_t<double> eq = shaped({P, N, Q});
    kern::GroupViewOutput o;
    o.groups_equal = eq.mutable_data();
    out["groups_equal"] = eq;
    py::array_t<std::int32_t> labels({N, static_cast<py::ssize_t>(m)});
    o.labels = labels.mutable_data();
    out["labels"] = labels;
    py::array_t<std::int64_t> members({N, G});
    if (in.industry) {
        py::array_t<double> ic = shaped({P, N, G}), sp = shaped({P, N, G});
        o.industry_ic = ic.mutable_data();
        o.industry_spread = sp.mutable_data();
        o.industry_members = members.mutable_data();
        out["industry_ic"] = ic;
        out["industry_spread"] = sp;
        out["industry_members"] = members;
    }
    if (in.size) {
        py::array_t<double> cap = shaped({P, N, Q}), ic = shaped({P, N, B}), sp = shaped({P, N, B}),
                            ds = shaped({P, N, B, Q});
        py::array_t<std::int64_t> size_members({N, B});
        o.size_members = size_members.mutable_data();
        out["size_members"] = size_members;
        o.groups_cap = cap.mutable_data();
        o.size_ic = ic.mutable_data();
        o.size_spread = sp.mutable_data();
        o.double_sort = ds.mutable_data();
        out["groups_cap"] = cap;
        out["size_ic"] = ic;
        out["size_spread"] = sp;
        out["double_sort"] = ds;
    }
    {
        py::gil_scoped_release nogil;
        in.returns = al.aligned();
        kern::group_views(in, o);
    }
    return out;
}

py::object event_study(py::handle factor, py::handle returns, py::handle rows, py::handle cols,
                       index_t quantile, index_t before, index_t after, py::handle labels) {
    if (quantile < 2) throw py::value_error("quantile: expected at least 2 groups");
    if (before < 0 || after < 0) throw py::value_error("window: expected non-negative offsets");
    Inputs data;
    read_inputs(data, factor, returns, rows, cols);
    const index_t n = data.n, m = data.m;
    Alignment &al = data.al;
    kern::EventStudyInput in;
    in.factor = data.view();
    in.returns = al.table->returns.view;
    in.quantile = quantile;
    in.before = before;
    in.after = after;
    Int32Rows cut;
    if (!labels.is_none()) {
        cut = codes(labels, n, m, "labels");
        for (py::ssize_t k = 0; k < cut.size(); ++k)
            if (cut.data()[k] >= quantile) throw py::value_error("labels: group out of range");
        in.labels = cut.data();
    }
    const auto N = static_cast<py::ssize_t>(n), K = static_cast<py::ssize_t>(before + after + 1);
    py::array_t<double> raw = shaped({2, N, K}), excess = shaped({2, N, K});
    py::array_t<std::int64_t> count({py::ssize_t{2}, N, K}), events({py::ssize_t{2}, N});
    {
        py::gil_scoped_release nogil;
        in.aligned = al.aligned();
        kern::event_study(in, raw.mutable_data(), excess.mutable_data(), count.mutable_data(),
                          events.mutable_data());
    }
    return py::make_tuple(raw, excess, count, events);
}

py::object notes_array(const std::vector<kern::CellNote> &notes) {
    const auto k = static_cast<py::ssize_t>(notes.size());
    py::array_t<std::int64_t> cells({k, py::ssize_t{2}});
    py::array_t<double> values({k, py::ssize_t{2}});
    for (py::ssize_t i = 0; i < k; ++i) {
        cells.mutable_data()[2 * i] = notes[static_cast<std::size_t>(i)].row;
        cells.mutable_data()[2 * i + 1] = notes[static_cast<std::size_t>(i)].col;
        values.mutable_data()[2 * i] = notes[static_cast<std::size_t>(i)].value;
        values.mutable_data()[2 * i + 1] = notes[static_cast<std::size_t>(i)].bound;
    }
    return py::make_tuple(cells, values);
}

}  // namespace

void register_evidence(py::module_ &m) {
    py::class_<ReturnsTable, std::shared_ptr<ReturnsTable>>(
        m, "ReturnsTable",
        "A returns table (dates x instruments) with its growth factors, for the\n"
        "kernels below: made once, it spares each of them the pass.");
    pyc::def_function(m, "returns_table", "(returns)",
                      "The ReturnsTable of a 2-D float array of daily returns.", &returns_table,
                      py::arg("returns"));
    pyc::def_function(m, "fama_macbeth",
                      "(factor, returns, returns_rows, returns_cols, periods, exposures=None, "
                      "exposure_rows=None, industry=None, n_industries=0)",
                      "Per date and period: the factor's coefficient in the cross-sectional\n"
                      "regression of the forward return on the factor and the controls (style\n"
                      "columns `exposures` read through `exposure_rows` (instruments x dates,\n"
                      "-1: none), industry dummies of `industry` codes (negative: left out) or\n"
                      "a constant).  Returns (premium, observations, r_squared), periods x dates.",
                      &fama_macbeth, py::arg("factor"), py::arg("returns"), py::arg("returns_rows"),
                      py::arg("returns_cols"), py::arg("periods"),
                      py::arg("exposures") = py::none(), py::arg("exposure_rows") = py::none(),
                      py::arg("industry") = py::none(), py::arg("n_industries") = 0);
    pyc::def_function(
        m, "group_views",
        "(factor, returns, returns_rows, returns_cols, periods, quantile, industry=None, "
        "n_industries=0, size=None, size_buckets=3, cap_weighted=False)",
        "Factor groups of every date (best first) over the whole cross-section\n"
        "(equal and, with `size`, capitalisation weights), within industries and\n"
        "within size buckets: rank IC, top-minus-bottom forward return and the\n"
        "double sort.  Returns a dict of arrays, periods first (\"labels\": the\n"
        "groups of every date, dates x instruments).",
        &group_views, py::arg("factor"), py::arg("returns"), py::arg("returns_rows"),
        py::arg("returns_cols"), py::arg("periods"), py::arg("quantile"),
        py::arg("industry") = py::none(), py::arg("n_industries") = 0, py::arg("size") = py::none(),
        py::arg("size_buckets") = 3, py::arg("cap_weighted") = false);
    pyc::def_function(
        m, "event_study",
        "(factor, returns, returns_rows, returns_cols, quantile, before, after, labels=None)",
        "Entries into the top and bottom factor groups and the cumulative raw\n"
        "and excess returns around them: (raw_sum, excess_sum, count, events),\n"
        "sides x dates x offsets (-before .. after), events sides x dates.\n"
        "`labels`: the groups of every date as group_views gives them (cut here\n"
        "when None).",
        &event_study, py::arg("factor"), py::arg("returns"), py::arg("returns_rows"),
        py::arg("returns_cols"), py::arg("quantile"), py::arg("before"), py::arg("after"),
        py::arg("labels") = py::none());
    pyc::def_function(
        m, "factor_health", "(factor, min_run)",
        "Coverage per date, infinite cells, runs of an unchanged value on at least\n"
        "`min_run` consecutive dates (instrument, start, length), dates whose\n"
        "row repeats the row before and dates whose values are all equal.",
        [](py::handle factor, index_t min_run) {
            Table f = table(factor, "factor");
            kern::FactorHealth h;
            {
                py::gil_scoped_release nogil;
                kern::factor_health(f.view, min_run, h);
            }
            py::array_t<std::int64_t> runs({static_cast<py::ssize_t>(h.runs.size()),
                                            py::ssize_t{3}});
            for (std::size_t k = 0; k < h.runs.size(); ++k) {
                runs.mutable_data()[3 * k] = h.runs[k].instrument;
                runs.mutable_data()[3 * k + 1] = h.runs[k].start;
                runs.mutable_data()[3 * k + 2] = h.runs[k].length;
            }
            py::dict out;
            out["coverage"] = py::array_t<std::int64_t>(
                static_cast<py::ssize_t>(h.coverage.size()),
                reinterpret_cast<const std::int64_t *>(h.coverage.data()));
            out["infinite"] = h.infinite;
            out["runs"] = runs;
            out["stale_cells"] = h.stale_cells;
            out["repeated_rows"] = py::array_t<std::int64_t>(
                static_cast<py::ssize_t>(h.repeated_rows.size()),
                reinterpret_cast<const std::int64_t *>(h.repeated_rows.data()));
            out["constant_rows"] = py::array_t<std::int64_t>(
                static_cast<py::ssize_t>(h.constant_rows.size()),
                reinterpret_cast<const std::int64_t *>(h.constant_rows.data()));
            return out;
        },
        py::arg("factor"), py::arg("min_run"));
    pyc::def_function(
        m, "limit_breaches",
        "(returns, limit_before, limit_after, switch_row, tolerance, skip, max_notes)",
        "Daily returns beyond the price limit (see the kernel): (count, cells,\n"
        "values) with the first `max_notes` breaches in date order, cells as\n"
        "(row, column) and values as (return, limit).",
        [](py::handle returns, py::handle before, py::handle after, index_t switch_row,
           double tolerance, index_t skip, index_t max_notes) {
            Table r = table(returns, "returns");
            py::array_t<double, py::array::c_style | py::array::forcecast> b =
                py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(before);
            py::array_t<double, py::array::c_style | py::array::forcecast> a =
                py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(after);
            if (!b || !a || b.size() != r.view.cols || a.size() != r.view.cols)
                throw py::value_error("limit_before, limit_after: expected one limit per column");
            std::vector<kern::CellNote> notes;
            index_t total = 0;
            {
                py::gil_scoped_release nogil;
                total = kern::limit_breaches(r.view, b.data(), a.data(), switch_row, tolerance,
                                             skip, max_notes, notes);
            }
            py::tuple cv = notes_array(notes);
            return py::make_tuple(total, cv[0], cv[1]);
        },
        py::arg("returns"), py::arg("limit_before"), py::arg("limit_after"), py::arg("switch_row"),
        py::arg("tolerance"), py::arg("skip"), py::arg("max_notes"));
    pyc::def_function(
        m, "price_consistency", "(open, high, low, close, max_notes)",
        "Bars whose prices contradict each other: a list of four (count, cells,\n"
        "values) for high below low, close outside [low, high], open outside\n"
        "[low, high] and a price at or below zero.",
        [](py::handle open, py::handle high, py::handle low, py::handle close, index_t max_notes) {
            Table o = table(open, "open"), h = table(high, "high"), l = table(low, "low"),
                  c = table(close, "close");
            for (const Table *t : {&o, &h, &l})
                if (t->view.rows != c.view.rows || t->view.cols != c.view.cols)
                    throw py::value_error("open, high, low, close: expected one shape");
            kern::PriceProblems p;
            {
                py::gil_scoped_release nogil;
                kern::price_consistency(o.view, h.view, l.view, c.view, max_notes, p);
            }
            py::list out;
            for (int k = 0; k < 4; ++k) {
                py::tuple cv = notes_array(p.notes[k]);
                out.append(py::make_tuple(p.count[k], cv[0], cv[1]));
            }
            return out;
        },
        py::arg("open"), py::arg("high"), py::arg("low"), py::arg("close"), py::arg("max_notes"));
}

}  // namespace tarnfold::kernels_module
