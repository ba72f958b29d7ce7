// The factor execution driver: execute_factor and ensure_end_date.
#include "common/pyclass.hpp"
#include "engine_v2/engine.hpp"

namespace tarnfold::engine {

namespace {

void warn(const std::string &message) { glob("warnings").attr("warn")(py::str(message)); }

std::string fmt(const char *templ, const py::tuple &args) { return pyc::format(templ, args); }

// The day to fall back to when the store's latest trading date `date` has
// no volumes (None when it has them).  With our own mivada the answer is
// kept per store and date: the store does not change while it is open.
py::object fallback_date(py::object mivada, py::object date) {
    static py::dict *kept = new py::dict();  // never freed: outlives the interpreter's teardown
    py::object key = py::none();
    if (mivada.is(py::module_::import("mivada"))) {
        py::object token = py::module_::import("mivada.api").attr("store_token")();
        if (!token.is_none()) key = py::make_tuple(token, date);
    }
    if (!key.is_none() && kept->contains(key)) return (*kept)[key];
    py::object listed = mivada.attr("all_instruments")("CS", py::arg("date") = date);
    py::object order_book_id = listed["order_book_id"].attr("iloc")[py::int_(0)];
    py::object volume = mivada.attr("get_price")(order_book_id, date, date,
                                                 py::arg("fields") = "volume");
    py::object prev_date = volume.is_none() ? mivada.attr("get_previous_trading_date")(date)
                                            : py::none();
    if (!key.is_none()) {
        if (py::len(*kept) >= 64) kept->clear();
        (*kept)[key] = prev_date;
    }
    return prev_date;
}

py::object ensure_end_date(py::object end_date) {
    py::object mivada = glob("mivada");
    py::object date = glob("pd").attr("Timestamp")(mivada.attr("get_latest_trading_date")());
    if (!py::bool_(end_date >= date)) return end_date;
    py::object prev_date = fallback_date(mivada, date);
    if (!prev_date.is_none()) {
        warn(fmt("volumes at {} is not available currently! fallback to date: {}!",
                 py::make_tuple(date, prev_date)));
        return prev_date;
    }
    if (py::bool_(end_date > date)) {
        warn(fmt("volumes after {} is not available currently! fallback to date: {}!",
                 py::make_tuple(date, date)));
    }
    return date;
}

// The instruments as a list (a tuple, an index or an array would not
// concatenate with the pinned instruments as a list does).
py::object id_list(py::object order_book_ids) {
    if (py::isinstance<py::list>(order_book_ids)) return order_book_ids;
    if (py::isinstance<py::str>(order_book_ids) || !py::hasattr(order_book_ids, "__iter__")) {
        throw py::type_error("order_book_ids: expected a list of instrument codes, got " +
                             py::repr(order_book_ids).cast<std::string>());
    }
    return py::list(order_book_ids);
}

// A factor tree, or a TypeError naming the argument.
void check_factor(py::handle factor) {
    if (!py::isinstance<py::str>(factor) && py::hasattr(factor, "shift") &&
        py::hasattr(factor, "expr")) {
        return;
    }
    std::string message =
        "factor: expected a factor tree (tarnfold.leaf, tarnfold.operators, "
        "tarnfold.cross_sectional), got " +
        describe(factor) + " (" +
        py::str(py::type::handle_of(factor).attr("__name__")).cast<std::string>() + ")";
    if (py::isinstance<py::str>(factor)) {
        message += "; a stored field or factor is tarnfold.leaf.Factor(" + describe(factor) + ")";
    }
    throw py::type_error(message);
}

// What a factor computed from `start_date` needs: its leaves, the
// instruments pinned by fixed factors that are not among order_book_ids,
// the first day to load (its look-back counted in each instrument's valid
// days, plus the warm-up of exponential averages) and its shift.
struct Plan {
    py::object leaves, fixed, leaf_start_date;
    long long shift = 0;
};

Plan plan_factor(py::handle factor, py::handle order_book_ids, py::handle start_date) {
    py::object mivada = glob("mivada");
    Plan plan;
    plan.leaves = glob("get_leaves")(factor);
    plan.fixed = glob("get_fixed_order_book_ids")(factor, order_book_ids);
    plan.leaf_start_date = py::reinterpret_borrow<py::object>(start_date);
    plan.shift = pyc::as_integer(factor.attr("shift"),
                                 "factor.shift: expected an integer number of days");
    const long long warmup =
        py::bool_(glob("use_dma")(factor))
            ? pyc::as_integer(py::module_::import("tarnfold.utils").attr("DMA_WARMUP_DAYS"),
                              "DMA_WARMUP_DAYS: expected an integer")
            : 0;
    if (plan.shift + warmup > 0) {
        const long long n = -plan.shift - warmup;
        try {
            plan.leaf_start_date = mivada.attr("trading_date_offset")(start_date, n);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError)) throw;
            py::object cause = e.value();
            throw py::value_error(
                fmt("factor {}: its look-back of {} trading days before start_date {} reaches "
                    "outside the trading calendar ({})",
                    py::make_tuple(describe(factor), -n, start_date, py::str(cause))));
        }
        plan.leaf_start_date = glob("lookback_start")(factor, order_book_ids, plan.fixed,
                                                      start_date, plan.leaf_start_date, warmup);
    }
    return plan;
}

// A look-back no instrument can satisfy would give an all-NaN table: say
// so instead.
void check_history(py::handle factor, py::handle order_book_ids, py::handle ctx, long long shift,
                   py::handle leaf_start_date, py::handle end_date) {
    if (shift <= 0 || py::len(order_book_ids) == 0) return;
    py::object count_nonzero = glob("np").attr("count_nonzero");
    for (py::handle oid : order_book_ids) {
        const long long n = pyc::as_integer(count_nonzero(ctx.attr("get_mask_for")(oid)),
                                            "get_mask_for: expected a boolean array");
        if (n > shift) return;
    }
    throw py::value_error(
        fmt("factor {}: needs more than {} valid days of history, but no instrument "
            "has that many between {} and {}",
            py::make_tuple(describe(factor), shift, leaf_start_date, end_date)));
}

// The requested days: integers read as YYYYMMDD, times of day dropped,
// time zones read as their wall-clock date.
std::pair<py::object, py::object> requested_days(py::handle start_date, py::handle end_date) {
    py::object as_date = py::module_::import("mivada.utils").attr("as_date");
    py::object start = as_date(start_date, "start_date");
    py::object end = as_date(end_date, "end_date");
    if (py::bool_(start > end)) {
        throw py::value_error(fmt("start_date: {} is after end_date {}",
                                  py::make_tuple(start, end)));
    }
    return {start, end};
}

py::object execute_factor(py::object factor, py::object order_book_ids, py::object start_date,
                          py::object end_date, py::object universe, py::object exec_context_class) {
    py::object mivada = glob("mivada");
    py::object pd = glob("pd");
    TableScope tables;
    check_factor(factor);
    order_book_ids = id_list(order_book_ids);

    // Published factors come straight from the store, dates as given.
    if (is_instance_of(factor, "_Factor") && glob("PRICING_FACTORS").contains(factor)) {
        py::object name = factor.attr("name");
        py::object df = mivada.attr("get_factor")(order_book_ids, name, start_date, end_date,
                                                  py::arg("universe") = universe,
                                                  py::arg("expect_df") = true);
        if (df.is_none()) {
            // Nothing stored in the range: an all-NaN table rather than a
            // failure on None.
            df = pd.attr("DataFrame")(
                py::arg("index") = mivada.attr("get_trading_dates")(start_date, end_date),
                py::arg("columns") = order_book_ids, py::arg("dtype") = "float64");
        } else {
            df = df[name]
                     .attr("unstack")("order_book_id")
                     .attr("reindex")(py::arg("columns") = order_book_ids);
        }
        py::object mask = glob("get_universe_mask")(order_book_ids, start_date, end_date, universe);
        if (mask.is_none()) return df;
        return df.attr("where")(mask);
    }

    auto [start, end] = requested_days(start_date, end_date);
    Plan plan = plan_factor(factor, order_book_ids, start);
    end = glob("ensure_end_date")(end);
    if (exec_context_class.is_none()) exec_context_class = glob("ThreadingExecContext");
    // The context loads the requested instruments and those pinned by
    // fixed factors over the widened range.
    py::object ctx = exec_context_class(plan.leaves, order_book_ids + plan.fixed,
                                        plan.leaf_start_date, end, py::arg("universe") = universe);
    // The universe over the widened range: cross-sectional parts see it
    // before their own look-back.
    py::object universe_mask = glob("get_universe_mask")(order_book_ids, plan.leaf_start_date, end,
                                                         universe);
    ctx.attr("universe_mask") = universe_mask;
    check_history(factor, order_book_ids, ctx, plan.shift, plan.leaf_start_date, end);
    py::object df = glob("_exec_factor")(factor, order_book_ids, ctx);
    // The requested days, masked by the universe.
    py::object rows = py::slice(start, end, py::none());
    if (universe_mask.is_none()) return df.attr("loc")[rows];
    return df.attr("where")(universe_mask).attr("loc")[rows];
}

}  // namespace

void register_driver(py::module_ &m) {
    pyc::def_function(m, "ensure_end_date", "(end_date)",
                      "确保结束日期有成交量数据：晚于最新交易日时回退到最新可用交易日",
                      &ensure_end_date, py::arg("end_date"));
    pyc::def_function(
        m, "execute_factor",
        "(factor, order_book_ids, start_date, end_date, universe=None, exec_context_class=None)",
        "计算因子\n\n"
        ":param factor: 因子表达式树\n"
        ":param order_book_ids: 标的列表\n"
        ":param start_date: 开始日期\n"
        ":param end_date: 结束日期\n"
        ":param universe: 股票池，指数代码或标的列表，默认为 None\n"
        ":param exec_context_class: 执行上下文类，默认为 ThreadingExecContext\n"
        ":return: pd.DataFrame，index 为交易日，columns 为 order_book_ids\n\n"
        "回看窗口按各标的自身的有效交易日（成交量非零）计算，含指数平均的因子另加 DMA_WARMUP_DAYS "
        "个有效"
        "交易日；为此最多在交易日回看之外再向前搜索 250 个交易日（LOOKBACK_SEARCH_DAYS），"
        "因此某日的因子值与所请求的日期区间无关。",
        &execute_factor, py::arg("factor"), py::arg("order_book_ids"), py::arg("start_date"),
        py::arg("end_date"), py::arg("universe") = py::none(),
        py::arg("exec_context_class") = py::none());
    // The steps of execute_factor for code computing several factors in
    // one context (tarnfold.engine_v2.execute_factors).
    m.def(
        "_plan_factor",
        [](py::object factor, py::object order_book_ids, py::object start_date,
           py::object end_date) {
            check_factor(factor);
            order_book_ids = id_list(order_book_ids);
            auto [start, end] = requested_days(start_date, end_date);
            Plan plan = plan_factor(factor, order_book_ids, start);
            return py::make_tuple(plan.leaves, plan.fixed, plan.leaf_start_date, plan.shift);
        },
        py::arg("factor"), py::arg("order_book_ids"), py::arg("start_date"), py::arg("end_date"),
        "(leaves, pinned instruments not among order_book_ids, first day to load, shift) of a "
        "factor requested from start_date to end_date, with execute_factor's checks and errors");
    m.def(
        "_check_history",
        [](py::object factor, py::object order_book_ids, py::object ctx, long long shift,
           py::object leaf_start_date, py::object end_date) {
            check_history(factor, order_book_ids, ctx, shift, leaf_start_date, end_date);
        },
        py::arg("factor"), py::arg("order_book_ids"), py::arg("exec_context"), py::arg("shift"),
        py::arg("leaf_start_date"), py::arg("end_date"),
        "ValueError when no instrument has more than `shift` valid days in the context");
}

}  // namespace tarnfold::engine
