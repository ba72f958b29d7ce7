// The trading rules and the traded group portfolios behind
// tarnfold.analysis.traded: plain arrays in, plain arrays out; the
// analyser aligns the tables and packs the results.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/arguments.hpp"
#include "kernels/holding_growth.hpp"
#include "kernels/quantile_groups.hpp"
#include "kernels/trade_blocks.hpp"
#include "kernels/traded_groups.hpp"
#include "kernels_module/kernels_module.hpp"

namespace tarnfold::kernels_module {

namespace {

using Floats = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Int64s = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Bytes = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

std::string shape_text(index_t n, index_t m) {
    return m < 0 ? "(" + std::to_string(n) + ",)"
                 : "(" + std::to_string(n) + ", " + std::to_string(m) + ")";
}

// `value` as a C-ordered array of `rows` x `cols` (cols < 0: a vector of
// `rows`; rows < 0: any 2-D shape); ValueError naming the argument
// otherwise.  None gives an empty
// array when `optional`.
template <typename Array>
Array table(py::handle value, const char *name, index_t rows, index_t cols, bool optional) {
    if (value.is_none()) {
        if (optional) return py::reinterpret_borrow<Array>(py::handle());  // a null array
        throw py::type_error(std::string(name) + ": expected an array, got None");
    }
    Array a = Array::ensure(value);
    if (!a) {
        PyErr_Clear();
        throw py::type_error(std::string(name) + ": expected a numeric array, got " +
                             pyc::type_repr(value));
    }
    if (rows < 0) {  // any 2-D shape
        if (a.ndim() != 2)
            throw py::value_error(std::string(name) + ": expected a 2-D array, got " +
                                  std::to_string(a.ndim()) + " dimension(s)");
        return a;
    }
    const bool vector = cols < 0;
    const bool ok = a.ndim() == (vector ? 1 : 2) && a.shape(0) == rows &&
                    (vector || a.shape(1) == cols);
    if (!ok) {
        std::string got = "(";
        for (py::ssize_t d = 0; d < a.ndim(); ++d)
            got += (d ? ", " : "") + std::to_string(a.shape(d));
        throw py::value_error(std::string(name) + ": expected shape " + shape_text(rows, cols) +
                              ", got " + got + (a.ndim() == 1 ? ",)" : ")"));
    }
    return a;
}

// A 2-D float table read where it lies (any strides; other dtypes are
// converted): the array that keeps it alive and its view.
struct Strided {
    py::array array;
    kern::ConstView view;
};

Strided strided_table(py::handle value, const char *name) {
    py::array a = py::array::ensure(value);
    if (!a) {
        PyErr_Clear();
        throw py::type_error(std::string(name) + ": expected a numeric array, got " +
                             pyc::type_repr(value));
    }
    if (!a.dtype().is(py::dtype::of<double>()))
        a = py::array_t<double, py::array::forcecast>::ensure(a);
    if (!a || a.ndim() != 2)
        throw py::value_error(std::string(name) + ": expected a 2-D array of numbers");
    const auto item = static_cast<index_t>(sizeof(double));
    if (a.strides(0) % item || a.strides(1) % item) a = Floats::ensure(a);  // unaligned
    Strided out{a, kern::ConstView{static_cast<const double *>(a.data()), a.shape(0), a.shape(1),
                                   a.strides(0) / item, a.strides(1) / item}};
    return out;
}

template <typename Array>
auto data_of(const Array &a) -> decltype(a.data()) {
    return a.ptr() != nullptr ? a.data() : nullptr;
}

kern::LimitRule limit_rule(const std::string &text) {
    if (text == "off") return kern::LimitRule::kOff;
    if (text == "price") return kern::LimitRule::kAtPrice;
    if (text == "sealed") return kern::LimitRule::kSealed;
    throw py::value_error("limits: expected 'off', 'price' or 'sealed', got '" + text + "'");
}

template <typename E>
E choice(const std::string &text, const char *name, std::initializer_list<const char *> names) {
    int k = 0;
    std::string listed;
    for (const char *c : names) {
        if (text == c) return static_cast<E>(k);
        listed += (k ? ", '" : "'") + std::string(c) + "'";
        ++k;
    }
    throw py::value_error(std::string(name) + ": expected one of " + listed + ", got '" + text +
                          "'");
}

py::object trade_blocks(py::object open, py::object high, py::object low, py::object close,
                        py::object volume, py::object limit_up, py::object limit_down,
                        py::object st, py::object date_pos, py::object listed_pos,
                        py::object delisted_pos, bool at_open, const std::string &limits,
                        bool suspension, py::object min_listed_days, bool exclude_st,
                        bool delisting, double tolerance) {
    Floats c = table<Floats>(close, "close", -1, -1, false);
    const index_t n = c.shape(0), m = c.shape(1);
    kern::TradeRuleSettings s;
    s.at_open = at_open;
    s.limits = limit_rule(limits);
    s.suspension = suspension;
    s.min_listed_days = args::checked_integer(min_listed_days, "min_listed_days",
                                              "a number of trading days", 0);
    s.exclude_st = exclude_st;
    s.delisting = delisting;
    s.tolerance = tolerance;
    const bool sealed = s.limits == kern::LimitRule::kSealed;
    Floats o = table<Floats>(open, "open", n, m, !at_open);
    Floats h = table<Floats>(high, "high", n, m, !sealed);
    Floats l = table<Floats>(low, "low", n, m, !sealed);
    Floats v = table<Floats>(volume, "volume", n, m, true);
    Floats up = table<Floats>(limit_up, "limit_up", n, m, true);
    Floats down = table<Floats>(limit_down, "limit_down", n, m, up.ptr() == nullptr);
    Floats stv = table<Floats>(st, "st", n, m, true);
    Int64s dp = table<Int64s>(date_pos, "date_pos", n, -1, false);
    Int64s lp = table<Int64s>(listed_pos, "listed_pos", m, -1, false);
    Int64s xp = table<Int64s>(delisted_pos, "delisted_pos", m, -1, false);
    kern::MarketBars bars{data_of(o), data_of(h),  data_of(l),    c.data(),
                          data_of(v), data_of(up), data_of(down), data_of(stv)};
    if (up.ptr() == nullptr) s.limits = kern::LimitRule::kOff;
    py::array_t<std::uint8_t> out({n, m});
    std::uint8_t *dst = out.mutable_data();
    {
        py::gil_scoped_release nogil;
        kern::trade_blocks(n, m, bars, dp.data(), lp.data(), xp.data(), s, dst);
    }
    return out;
}

py::object traded_groups(py::object factor, py::object returns, py::object row_of,
                         py::object col_of, py::object open, py::object close, py::object blocks,
                         py::object weights, py::object buy_rate, py::object sell_rate,
                         py::object periods, py::object quantile, bool ascending,
                         const std::string &timing, const std::string &valuation,
                         const std::string &unsellable, bool settle_delisted,
                         double delisting_haircut, py::object threads) {
    const Strided f = strided_table(factor, "factor");
    const index_t n = f.view.rows, m = f.view.cols;
    const Strided r = strided_table(returns, "returns");
    Int64s rows = table<Int64s>(row_of, "row_of", n, -1, false);
    Int64s cols = table<Int64s>(col_of, "col_of", m, -1, false);
    for (index_t t = 0; t < n; ++t)
        if (rows.data()[t] < -1 || rows.data()[t] >= r.view.rows)
            throw py::value_error("row_of: expected rows of returns or -1");
    for (index_t j = 0; j < m; ++j)
        if (cols.data()[j] < -1 || cols.data()[j] >= r.view.cols)
            throw py::value_error("col_of: expected columns of returns or -1");
    kern::TradedSettings s;
    s.timing = choice<kern::TradeTiming>(timing, "timing", {"close", "open", "next_close"});
    s.valuation = choice<kern::Valuation>(valuation, "valuation", {"last_price", "priced_only"});
    s.unsellable = choice<kern::UnsellablePolicy>(unsellable, "unsellable",
                                                  {"hold", "last_price", "lost"});
    s.settle_delisted = settle_delisted;
    if (!(delisting_haircut >= 0.0 && delisting_haircut <= 1.0))
        throw py::value_error("delisting_haircut: expected a share from 0 to 1");
    s.delisting_haircut = delisting_haircut;
    const bool at_open = s.timing == kern::TradeTiming::kOpen;
    Floats opens = table<Floats>(open, "open", n, m, !at_open);
    Floats closes = table<Floats>(close, "close", n, m, !at_open);
    if (at_open && (opens.ptr() == nullptr || closes.ptr() == nullptr))
        throw py::value_error("open, close: the bars' prices are needed to trade at the open");
    Bytes blk = table<Bytes>(blocks, "blocks", n, m, true);
    Floats wt = table<Floats>(weights, "weights", n, m, true);
    Floats br = table<Floats>(buy_rate, "buy_rate", n, -1, false);
    Floats sr = table<Floats>(sell_rate, "sell_rate", n, -1, false);
    const index_t q = args::checked_integer(quantile, "quantile",
                                            "a positive integer number of groups", 1);
    if (q > m) {
        throw py::value_error(
            "quantile: expected at most as many groups as factor has "
            "instruments (" +
            std::to_string(m) + "), got " + std::to_string(q));
    }
    const args::Periods per = args::read_periods(periods);
    // 0: one thread per core
    index_t workers = args::checked_integer(threads, "threads",
                                            "a number of threads (0: one per core)", 0);
    if (workers == 0) workers = std::max<index_t>(1, std::thread::hardware_concurrency());
    const index_t np_ = static_cast<index_t>(per.value.size());

    const kern::ConstView &fv = f.view, &rv = r.view;
    std::vector<index_t> row_map(rows.data(), rows.data() + n);
    std::vector<index_t> col_map(cols.data(), cols.data() + m);
    const std::size_t cells = static_cast<std::size_t>(n * m);
    py::array_t<double> gross({np_, q, n}), net({np_, q, n}), turnover({np_, q, n});
    py::array_t<std::int64_t> counts({np_, q, n, static_cast<index_t>(kern::kTradeCounts)});
    double *g_out = gross.mutable_data(), *n_out = net.mutable_data(),
           *t_out = turnover.mutable_data();
    std::int64_t *c_out = counts.mutable_data();
    {
        py::gil_scoped_release nogil;
        // written whole by the kernels: no need to clear them first
        std::unique_ptr<std::int32_t[]> labels(new std::int32_t[cells]);
        kern::lagged_quantile_labels(fv, ascending, q, labels.get());
        // price levels at the closes: the growth of the returns, carried
        // forward over days without one when positions keep their last price
        std::unique_ptr<double[]> close_px(new double[cells]);
        std::unique_ptr<double[]> open_px;
        if (s.valuation == kern::Valuation::kHold) {
            kern::growth_index(rv, row_map, col_map, nullptr, close_px.get());
        } else {
            kern::growth_index(rv, row_map, col_map, close_px.get(), nullptr);
        }
        if (at_open) {  // the open's level: the close's times open / close of the bar
            open_px.reset(new double[cells]);
            const double *o = opens.data(), *c = closes.data();
            const bool hold = s.valuation == kern::Valuation::kHold;
            const std::size_t row = static_cast<std::size_t>(m);
            for (std::size_t k = 0; k < cells; ++k) {
                open_px[k] = close_px[k] * (o[k] / c[k]);
                // a position without an open keeps its last close
                if (hold && std::isnan(open_px[k]))
                    open_px[k] = k >= row ? close_px[k - row] : kern::kNaN;
            }
        }
        kern::TradedMarket mk;
        mk.n = n;
        mk.m = m;
        mk.q = q;
        mk.labels = labels.get();
        mk.close_px = close_px.get();
        mk.open_px = open_px.get();
        mk.blocks = data_of(blk);
        mk.weights = data_of(wt);
        mk.buy_rate = br.data();
        mk.sell_rate = sr.data();
        for (index_t k = 0; k < np_; ++k) {
            const std::size_t off = static_cast<std::size_t>(k * q * n);
            kern::TradedOutputs out{g_out + off, n_out + off, t_out + off,
                                    c_out + off * kern::kTradeCounts};
            kern::traded_period(mk, s, per.value[static_cast<std::size_t>(k)], out,
                                static_cast<int>(std::min<index_t>(workers, 1024)));
        }
    }
    py::dict result;
    result["gross"] = gross;
    result["net"] = net;
    result["turnover"] = turnover;
    result["counts"] = counts;
    return result;
}

}  // namespace

void register_traded(py::module_ &m) {
    pyc::def_function(
        m, "trade_blocks",
        "(open, high, low, close, volume, limit_up, limit_down, st, date_pos, listed_pos, "
        "delisted_pos, at_open, limits, suspension, min_listed_days, exclude_st, delisting, "
        "tolerance)",
        "Why a trade cannot be made at each (date, instrument)'s trading moment:\n"
        "a uint8 array (dates x instruments) of flags: 1 buy blocked, suspended;\n"
        "2 buy blocked, at the limit-up; 4 buy blocked, listed fewer than\n"
        "min_listed_days trading days; 8 buy blocked, ST (with exclude_st);\n"
        "16 sell blocked, suspended; 32 sell blocked, at the limit-down;\n"
        "64 delisted (with delisting; also blocks both sides).\n\n"
        "Bar arrays are dates x instruments, NaN where missing (None for a\n"
        "field the rules do not read).  date_pos: calendar position of each\n"
        "date; listed_pos / delisted_pos: of each instrument's listing and\n"
        "delisting.  limits: 'off', 'price' (the price at the trading moment\n"
        "is within tolerance of the limit) or 'sealed' (the whole day is).",
        &trade_blocks, py::arg("open"), py::arg("high"), py::arg("low"), py::arg("close"),
        py::arg("volume"), py::arg("limit_up"), py::arg("limit_down"), py::arg("st"),
        py::arg("date_pos"), py::arg("listed_pos"), py::arg("delisted_pos"), py::arg("at_open"),
        py::arg("limits"), py::arg("suspension"), py::arg("min_listed_days"), py::arg("exclude_st"),
        py::arg("delisting"), py::arg("tolerance"));
    pyc::def_function(
        m, "traded_groups",
        "(factor, returns, row_of, col_of, open, close, blocks, weights, buy_rate, sell_rate, "
        "periods, quantile, ascending, timing, valuation, unsellable, settle_delisted, "
        "delisting_haircut, threads=1)",
        "The factor-sorted groups held as traded portfolios (see\n"
        "tarnfold.analysis.traded).  factor: dates x instruments; returns: daily\n"
        "returns, whose row and column of each factor date and instrument are\n"
        "row_of / col_of (-1: absent); open, close: the bars' prices (for timing\n"
        "'open'; None otherwise); blocks: the flags of trade_blocks for each row's\n"
        "trading moment (None: nothing blocked); weights: the weight of each\n"
        "instrument in the groups formed on a row (None: equal); buy_rate,\n"
        "sell_rate: cost rates of each row's trades.  timing: 'close', 'open'\n"
        "or 'next_close'; valuation: 'last_price' or 'priced_only';\n"
        "unsellable: 'hold', 'last_price' or 'lost'.  threads: how many threads\n"
        "share the staggered schedules (0: one per core); the numbers are the\n"
        "same for every count.\n\n"
        "Returns a dict: 'gross', 'net', 'turnover' (periods x groups x dates,\n"
        "means over the staggered schedules) and 'counts' (periods x groups x\n"
        "dates x 9, sums: intended buys, intended sells, buys blocked as\n"
        "suspended, at the limit-up, as new listings, as ST, sells blocked as\n"
        "suspended, at the limit-down, positions settled on delisting).",
        &traded_groups, py::arg("factor"), py::arg("returns"), py::arg("row_of"), py::arg("col_of"),
        py::arg("open"), py::arg("close"), py::arg("blocks"), py::arg("weights"),
        py::arg("buy_rate"), py::arg("sell_rate"), py::arg("periods"), py::arg("quantile"),
        py::arg("ascending"), py::arg("timing"), py::arg("valuation"), py::arg("unsellable"),
        py::arg("settle_delisted"), py::arg("delisting_haircut"), py::arg("threads") = 1);
}

}  // namespace tarnfold::kernels_module
