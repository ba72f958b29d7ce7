// The factor execution driver: execute_factor and ensure_end_date.
#include "common/pyclass.hpp"
#include "engine_v2/engine.hpp"

namespace tarnfold::engine {

namespace {

void warn(const std::string &message) { glob("warnings").attr("warn")(py::str(message)); }

std::string fmt(const char *templ, const py::tuple &args) { return pyc::format(templ, args); }

py::object ensure_end_date(py::object end_date) {
    py::object mivada = glob("mivada");
    py::object date = glob("pd").attr("Timestamp")(mivada.attr("get_latest_trading_date")());
    if (!py::bool_(end_date >= date)) return end_date;
    py::object listed = mivada.attr("all_instruments")("CS", py::arg("date") = date);
    py::object order_book_id = listed["order_book_id"].attr("iloc")[py::int_(0)];
    py::object volume = mivada.attr("get_price")(order_book_id, date, date,
                                                 py::arg("fields") = "volume");
    if (volume.is_none()) {
        py::object prev_date = mivada.attr("get_previous_trading_date")(date);
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

py::object execute_factor(py::object factor, py::object order_book_ids, py::object start_date,
                          py::object end_date, py::object universe,
                          py::object exec_context_class) {
    py::object mivada = glob("mivada");
    py::object pd = glob("pd");
    order_book_ids = id_list(order_book_ids);

    // 1. Precomputed pricing factors come straight from the store.
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
            df = df[name].attr("unstack")("order_book_id").attr("reindex")(
                py::arg("columns") = order_book_ids);
        }
        py::object mask =
            glob("get_universe_mask")(order_book_ids, start_date, end_date, universe);
        if (mask.is_none()) return df;
        return df.attr("where")(mask);
    }

    // 2.
    start_date = pd.attr("Timestamp")(start_date);
    end_date = pd.attr("Timestamp")(end_date);
    if (py::bool_(start_date > end_date)) {
        throw py::value_error(fmt("start_date: {} is after end_date {}",
                                  py::make_tuple(start_date, end_date)));
    }
    // 3.
    py::object leaves = glob("get_leaves")(factor);
    // 4. Look-back.
    py::object leaf_start_date = start_date;
    const long long shift =
        pyc::as_integer(factor.attr("shift"), "factor.shift: expected an integer number of days");
    if (shift > 0) {
        const bool dma = py::bool_(glob("use_dma")(factor));
        const long long n = dma ? -shift - 126 : -shift;
        try {
            leaf_start_date = mivada.attr("trading_date_offset")(start_date, n);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError)) throw;
            py::object cause = e.value();
            throw py::value_error(fmt(
                "factor {!r}: its look-back of {} trading days before start_date {} reaches "
                "outside the trading calendar ({})",
                py::make_tuple(factor, -n, start_date, py::str(cause))));
        }
    }
    // 5.
    end_date = glob("ensure_end_date")(end_date);
    // 6.
    if (exec_context_class.is_none()) exec_context_class = glob("ThreadingExecContext");
    // 7.
    py::object fixed = glob("get_fixed_order_book_ids")(factor, order_book_ids);
    // 8.
    py::object ctx = exec_context_class(leaves, order_book_ids + fixed, leaf_start_date, end_date,
                                        py::arg("universe") = universe);
    // 9.
    py::object universe_mask =
        glob("get_universe_mask")(order_book_ids, leaf_start_date, end_date, universe);
    ctx.attr("universe_mask") = universe_mask;
    // 10.
    py::object df = glob("_exec_factor")(factor, order_book_ids, ctx);
    // 11.
    py::object rows = py::slice(start_date, end_date, py::none());
    if (universe_mask.is_none()) return df.attr("loc")[rows];
    return df.attr("where")(universe_mask).attr("loc")[rows];
}

}  // namespace

void register_driver(py::module_ &m) {
    pyc::def_function(
        m, "ensure_end_date", "(end_date)",
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
        ":return: pd.DataFrame，index 为交易日，columns 为 order_book_ids",
        &execute_factor, py::arg("factor"), py::arg("order_book_ids"), py::arg("start_date"),
        py::arg("end_date"), py::arg("universe") = py::none(),
        py::arg("exec_context_class") = py::none());
}

}  // namespace tarnfold::engine
