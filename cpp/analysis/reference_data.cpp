// Reference data: industry classification history and listing-date mask.
#include <pybind11/numpy.h>

#include <algorithm>
#include <string>
#include <vector>

#include "analysis/bench.hpp"
#include "analysis/long_frame.hpp"
#include "analysis/reference_data.hpp"
#include "kernels/industry_codes.hpp"
#include "kernels/least_squares.hpp"

namespace tarnfold::bench {

namespace {

using frame::index_t;
using Int64Array = py::array_t<long long, py::array::c_style | py::array::forcecast>;
using Int32Array = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

// Label of a (date, instrument) pair for which the source has no record
// starting on or before the date.
const char *kUnclassified = "Unknown";

const char *kListedMaskDoc = "\n获取合约的有效期mask， trading_dates 中的合约，未退市时值为True\n";

const char *kLoadIndustryDoc =
    "加载行业分类数据\n"
    ":return: MultiIndex(datetime, order_book_id) Series";

// Nanoseconds since the epoch of date-like values.
std::vector<std::int64_t> as_ns(py::handle values) {
    auto &pd = frame::pandas();
    py::object idx = pd.attr("DatetimeIndex")(pd.attr("to_datetime")(values));
    Int64Array ns(idx.attr("as_unit")("ns").attr("asi8"));
    return std::vector<std::int64_t>(ns.data(), ns.data() + ns.size());
}

// The classification version in force on each record's start day, as a
// column (int64, like the integers it is compared with).
py::object version_in_force(py::handle start_dates) {
    std::vector<std::int64_t> start = as_ns(start_dates);
    py::array_t<long long> out(static_cast<py::ssize_t>(start.size()));
    for (std::size_t r = 0; r < start.size(); ++r)
        out.mutable_data()[r] = kern::classification_version_in_force(start[r]);
    return frame::pandas().attr("Series")(out, py::arg("index") = start_dates.attr("index"));
}

// Record r of the sorted classification history: the grid column of its
// instrument (-1 when not in the grid) and its start day.
struct HistoryRecords {
    std::vector<std::int64_t> instrument;
    std::vector<std::int64_t> start;
    HistoryRecords(py::handle history, py::handle grid_instruments) {
        py::object index = history.attr("index");
        Int64Array level_col(
            grid_instruments.attr("get_indexer")(index.attr("levels")[py::int_(0)]));
        Int64Array codes(index.attr("codes")[py::int_(0)]);
        instrument.resize(static_cast<std::size_t>(codes.size()));
        for (py::ssize_t r = 0; r < codes.size(); ++r) {
            const long long c = codes.data()[r];
            instrument[static_cast<std::size_t>(r)] = c < 0 ? -1 : level_col.data()[c];
        }
        start = as_ns(index.attr("get_level_values")(1));
    }
    kern::ClassificationRecords view(const std::int32_t *code) const {
        return kern::ClassificationRecords{instrument.data(), start.data(), code, nullptr,
                                           static_cast<index_t>(instrument.size())};
    }
};

// The listing mask's values: instrument j (of `ids`, the distinct
// order_book_ids in order of first occurrence) is listed on date i from
// its listing date up to the day before its delisting, dates compared as
// their YYYY-MM-DD texts.  listed[i * ids.size() + j].
struct ListedCells {
    py::list ids;
    std::vector<std::uint8_t> listed;
};

ListedCells listed_cells(py::object order_book_ids, const py::list &dates) {
    py::object stocks = glob("mivada").attr("all_instruments")("CS");
    stocks = stocks.attr("set_index")("order_book_id");
    py::dict listed = stocks.attr("__getitem__")("listed_date").attr("to_dict")();
    py::dict delisted = stocks.attr("__getitem__")("de_listed_date")
                            .attr("replace")("0000-00-00", "2999-12-31")
                            .attr("to_dict")();
    py::object to_date_str = glob("to_date_str");
    auto text = [&](py::handle v) {
        return py::isinstance<py::str>(v) ? v.cast<std::string>()
                                          : to_date_str(v).cast<std::string>();
    };
    std::vector<std::string> date_text;
    for (py::handle d : dates) date_text.push_back(to_date_str(d).cast<std::string>());

    // Instruments in order of first occurrence.
    ListedCells out;
    py::dict seen;
    std::vector<std::pair<std::string, std::string>> bounds;
    py::list unknown;
    for (py::handle oid : order_book_ids) {
        if (seen.contains(oid)) continue;
        seen[oid] = py::none();
        out.ids.append(oid);
        if (!listed.contains(oid)) {
            unknown.append(oid);
            continue;
        }
        bounds.emplace_back(text(listed[oid]), text(delisted[oid]));
    }
    if (py::len(unknown) > 0) {
        // A KeyError, as the lookup of one unknown id would raise, but
        // naming every id the listing lacks.
        throw py::key_error(pyc::format(
            "order_book_ids: {} id(s) are not common stocks of the market-data store: {}",
            py::make_tuple(py::len(unknown), unknown)));
    }
    const std::size_t n_dates = date_text.size(), n_ids = bounds.size();
    out.listed.resize(n_dates * n_ids);
    std::uint8_t *cell = out.listed.data();
    if (std::is_sorted(date_text.begin(), date_text.end())) {
        // Each instrument is listed on one run of the (sorted) dates: find
        // its ends once, then fill the table row by row.
        std::vector<std::size_t> from(n_ids), until(n_ids);
        for (std::size_t j = 0; j < n_ids; ++j) {
            from[j] = static_cast<std::size_t>(std::lower_bound(date_text.begin(), date_text.end(),
                                                                bounds[j].first) -
                                               date_text.begin());
            until[j] = static_cast<std::size_t>(std::lower_bound(date_text.begin(), date_text.end(),
                                                                 bounds[j].second) -
                                                date_text.begin());
        }
        for (std::size_t i = 0; i < n_dates; ++i)
            for (std::size_t j = 0; j < n_ids; ++j)
                cell[i * n_ids + j] = from[j] <= i && i < until[j];
    } else {
        for (std::size_t i = 0; i < n_dates; ++i)
            for (std::size_t j = 0; j < n_ids; ++j)
                cell[i * n_ids + j] = bounds[j].first <= date_text[i] &&
                                      date_text[i] < bounds[j].second;
    }
    return out;
}

// True when fn is this module's own _get_listed_date_mask_series.
bool own_listed_mask(py::handle fn) {
    return PyCFunction_Check(fn.ptr()) &&
           py::getattr(fn, "__name__", py::none()).equal(py::str("_get_listed_date_mask_series")) &&
           py::getattr(fn, "__module__", py::none()).equal(module().attr("__name__"));
}

// ---- classification history -------------------------------------------------

py::object cache_industry_data(py::object source) {
    auto &pd = frame::pandas();
    const char *field = nullptr;
    py::object df;
    if (source.equal(py::str("citics_2019"))) {
        field = "first_industry_name";
        py::object data = glob("mivada").attr("client").attr("get_client")().attr("execute")(
            "__internal__zx2019_industry");
        df = pd.attr("DataFrame")(data, py::arg("columns") = py::make_tuple(
                                            "first_industry_name", "order_book_id", "start_date"));
    } else if (source.equal(py::str("sws"))) {
        field = "index_name";
        py::object data = glob("mivada").attr("client").attr("get_client")().attr("execute")(
            "__internal__shenwan_industry");
        df = pd.attr("DataFrame")(data,
                                  py::arg("columns") = py::make_tuple("index_name", "order_book_id",
                                                                      "start_date", "version"));
        // One classification version per record: the one in force when the
        // record starts (the kernel's rule, shared with the engine).
        df.attr("__setitem__")("select", version_in_force(df.attr("__getitem__")("start_date")));
        py::object keep = df.attr("__getitem__")("version").attr("__eq__")(
            df.attr("__getitem__")("select"));
        df = df.attr("__getitem__")(keep);
    } else {
        throw py::value_error(pyc::format(
            "source: invalid source={}, expect one of [sws, citics_2019]", py::make_tuple(source)));
    }
    py::list keys;
    keys.append("order_book_id");
    keys.append("start_date");
    df = df.attr("set_index")(keys);
    return df.attr("__getitem__")(field).attr("sort_index")();
}

}  // namespace

bool own_industry_loader(py::handle fn) {
    return PyCFunction_Check(fn.ptr()) &&
           py::getattr(fn, "__name__", py::none()).equal(py::str("_load_industry_data")) &&
           py::getattr(fn, "__module__", py::none()).equal(module().attr("__name__"));
}

py::object date_level_values(py::object level, const std::string &table) {
    auto &pd = frame::pandas();
    if (py::isinstance(level, pd.attr("DatetimeIndex"))) return level;
    try {
        return pd.attr("DatetimeIndex")(pd.attr("to_datetime")(level));
    } catch (py::error_already_set &e) {
        throw py::value_error(table + ": the date level could not be read as dates (" +
                              std::string(e.what()) + ")");
    }
}

// Each pair takes the classification record in force on its date,
// "Unknown" without one, and only listed pairs get a code: the labels of
// load_industry_data below, without building one text label per pair.
std::int32_t industry_cell_codes(std::vector<std::int32_t> &cells, py::object source,
                                 py::object dates, py::object instruments, py::object *names_out) {
    auto &pd = frame::pandas();
    auto &np = frame::numpy();
    const index_t n_dates = py::len(dates), n_inst = py::len(instruments);
    py::object history = glob("_cache_industry_data")(py::arg("source") = source);

    // Label codes of the records, then of "no record yet".
    py::object names = np.attr("append")(history.attr("to_numpy")(py::arg("dtype") = "object"),
                                         np.attr("array")(py::make_tuple(kUnclassified),
                                                          py::arg("dtype") = "object"));
    py::tuple fz = pd.attr("factorize")(names);
    Int64Array label(fz[0]);
    const auto n_groups = static_cast<std::int32_t>(py::len(fz[1]));
    if (names_out) *names_out = fz[1];
    const std::int64_t n_records = label.size() - 1;
    std::vector<std::int32_t> code(static_cast<std::size_t>(n_records));
    for (std::int64_t r = 0; r < n_records; ++r) {
        const long long c = label.data()[r];
        code[static_cast<std::size_t>(r)] = c < 0 ? kern::kNoIndustryDummy
                                                  : static_cast<std::int32_t>(c);
    }
    const auto unknown = static_cast<std::int32_t>(label.data()[n_records]);
    HistoryRecords records(history, instruments);
    std::vector<std::int64_t> date_ns = as_ns(dates);

    std::vector<std::uint8_t> listed;
    py::object mask_function = glob("_get_listed_date_mask_series");
    if (own_listed_mask(mask_function) && py::bool_(instruments.attr("is_unique")) &&
        py::bool_(dates.attr("is_unique"))) {
        // The module's own mask, whose series runs over exactly these
        // dates and instruments in this order: its values are the cells.
        listed =
            listed_cells(instruments.attr("tolist")(), py::list(dates.attr("tolist")())).listed;
    } else {
        // Listing mask, matched to the cells by its labels.
        py::object msk = mask_function(instruments.attr("tolist")(), dates.attr("tolist")());
        py::object mi = msk.attr("index");
        if (!py::isinstance(mi, pd.attr("MultiIndex")) || py::len(mi.attr("levels")) != 2) {
            throw py::value_error("listing mask: expect a series indexed by (date, instrument)");
        }
        Int64Array mdate(dates.attr("get_indexer")(date_level_values(mi.attr("levels")[py::int_(0)],
                                                                     "listing mask")));
        Int64Array minst(instruments.attr("get_indexer")(mi.attr("levels")[py::int_(1)]));
        Int64Array c0(mi.attr("codes")[py::int_(0)]);
        Int64Array c1(mi.attr("codes")[py::int_(1)]);
        py::array_t<bool, py::array::c_style | py::array::forcecast> listed_values(
            msk.attr("to_numpy")(py::arg("dtype") = "bool"));
        listed.assign(static_cast<std::size_t>(n_dates * n_inst), 0);
        for (index_t r = 0; r < c0.size(); ++r) {
            const long long a = c0.data()[r], b = c1.data()[r];
            if (a < 0 || b < 0 || !listed_values.data()[r]) continue;
            const long long t = mdate.data()[a], j = minst.data()[b];
            if (t < 0 || j < 0) continue;
            listed[static_cast<std::size_t>(t * n_inst + j)] = 1;
        }
    }
    cells.resize(static_cast<std::size_t>(n_dates * n_inst));
    const int threads = thread_count();
    {
        py::gil_scoped_release nogil;
        kern::industry_codes(records.view(code.data()), date_ns.data(), n_dates, n_inst,
                             listed.data(), unknown, kern::kNoIndustryRow, cells.data(), threads);
    }
    return n_groups;
}

namespace {

// ---- listing mask -------------------------------------------------------------

py::object listed_date_mask(py::object order_book_ids, py::object trading_dates) {
    auto &pd = frame::pandas();
    // Read the dates once, so that any iterable will do.
    py::list dates(trading_dates);
    ListedCells cells = listed_cells(order_book_ids, dates);
    py::array_t<bool> values(static_cast<py::ssize_t>(cells.listed.size()));
    std::copy(cells.listed.begin(), cells.listed.end(), values.mutable_data());
    py::object index = pd.attr("MultiIndex")
                           .attr("from_product")(py::make_tuple(pd.attr("to_datetime")(dates),
                                                                cells.ids));
    return pd.attr("Series")(values, py::arg("index") = index);
}

// ---- industry labels ----------------------------------------------------------

py::object load_industry_data(py::object order_book_ids, py::object dates, py::object source) {
    auto &pd = frame::pandas();
    auto &np = frame::numpy();
    py::object history = glob("_cache_industry_data")(py::arg("source") = source);

    py::object ids = pd.attr("Index")(py::list(order_book_ids));
    py::object date_index = pd.attr("DatetimeIndex")(pd.attr("to_datetime")(py::list(dates)));
    if (!ids.attr("is_unique").cast<bool>()) {
        throw py::value_error("order_book_ids: each identifier must appear once");
    }
    if (!date_index.attr("is_unique").cast<bool>()) {
        throw py::value_error("dates: each date must appear once");
    }
    // The result runs by date, then instrument, both ascending.
    py::object sorted_ids = ids.attr("sort_values")();
    py::object sorted_dates = date_index.attr("sort_values")();
    const index_t n_ids = py::len(sorted_ids), n_dates = py::len(sorted_dates);
    std::vector<std::int64_t> date_ns = as_ns(sorted_dates);

    // Listing mask, matched to the pairs by its labels.
    py::object msk = glob("_get_listed_date_mask_series")(order_book_ids, dates);
    py::object msk_index = msk.attr("index");
    if (!py::isinstance(msk_index, pd.attr("MultiIndex")) ||
        py::len(msk_index.attr("levels")) != 2) {
        throw py::value_error("listing mask: expect a series indexed by (date, instrument)");
    }
    Int64Array date_map(sorted_dates.attr("get_indexer")(msk_index.attr("levels")[py::int_(0)]));
    Int64Array id_map(sorted_ids.attr("get_indexer")(msk_index.attr("levels")[py::int_(1)]));
    Int64Array c0(msk_index.attr("codes")[py::int_(0)]);
    Int64Array c1(msk_index.attr("codes")[py::int_(1)]);
    py::array_t<bool, py::array::c_style | py::array::forcecast> mvals(
        msk.attr("to_numpy")(py::arg("dtype") = "bool"));
    std::vector<std::uint8_t> listed(static_cast<std::size_t>(n_dates * n_ids), 0);
    for (index_t r = 0; r < c0.size(); ++r) {
        if (c0.data()[r] < 0 || c1.data()[r] < 0) continue;
        const long long dp = date_map.data()[c0.data()[r]], ip = id_map.data()[c1.data()[r]];
        if (dp < 0 || ip < 0) continue;
        listed[static_cast<std::size_t>(dp * n_ids + ip)] = mvals.data()[r];
    }

    // pos(d, i): the position in the history of the instrument's latest
    // record starting on or before d; n_records stands for "no record yet",
    // -1 for a pair not listed.
    HistoryRecords records(history, sorted_ids);
    const auto n_records = static_cast<std::int32_t>(records.start.size());
    std::vector<std::int32_t> record(static_cast<std::size_t>(n_records));
    for (std::int32_t r = 0; r < n_records; ++r) record[static_cast<std::size_t>(r)] = r;
    std::vector<std::int32_t> pos(static_cast<std::size_t>(n_dates * n_ids));
    kern::industry_codes(records.view(record.data()), date_ns.data(), n_dates, n_ids, listed.data(),
                         n_records, -1, pos.data());

    std::vector<index_t> keep_date, keep_id, keep_pos;
    for (index_t i = 0; i < n_dates; ++i) {
        for (index_t j = 0; j < n_ids; ++j) {
            const std::int32_t p = pos[static_cast<std::size_t>(i * n_ids + j)];
            if (p < 0) continue;
            keep_date.push_back(i);
            keep_id.push_back(j);
            keep_pos.push_back(p);
        }
    }
    py::object names = np.attr("append")(history.attr("to_numpy")(py::arg("dtype") = "object"),
                                         np.attr("array")(py::make_tuple(kUnclassified),
                                                          py::arg("dtype") = "object"));
    // The record labels read as pandas reads them (text as a string array),
    // then taken per pair: no Python string per pair.
    py::object labels = pd.attr("Series")(names).attr("array").attr("take")(
        longf::int64_array(keep_pos));
    // The index from its levels (the dates and instruments of the kept
    // pairs, ascending) and codes, rather than factorizing one value per pair.
    auto compact = [](std::vector<index_t> &codes, index_t n_values) {
        std::vector<index_t> remap(static_cast<std::size_t>(n_values), -1), take;
        for (index_t c : codes) remap[static_cast<std::size_t>(c)] = 0;
        for (index_t k = 0; k < n_values; ++k) {
            if (remap[static_cast<std::size_t>(k)] < 0) continue;
            remap[static_cast<std::size_t>(k)] = static_cast<index_t>(take.size());
            take.push_back(k);
        }
        for (auto &c : codes) c = remap[static_cast<std::size_t>(c)];
        return longf::int64_array(take);
    };
    py::object date_level = sorted_dates.attr("take")(compact(keep_date, n_dates));
    py::object id_level = sorted_ids.attr("take")(compact(keep_id, n_ids));
    py::object index = pd.attr("MultiIndex")(
        py::arg("levels") = py::make_tuple(date_level, id_level),
        py::arg("codes") = py::make_tuple(longf::int64_array(keep_date),
                                          longf::int64_array(keep_id)),
        py::arg("names") = py::make_tuple("datetime", "order_book_id"),
        py::arg("verify_integrity") = false);
    return pd.attr("Series")(labels, py::arg("index") = index);
}

}  // namespace

void register_reference_data(py::module_ &m) {
    py::object raw = pyc::make_function(m, "_cache_industry_data", "(source='citics_2019')",
                                        "行业分类历史, 缓存 3600 秒", &cache_industry_data,
                                        py::arg("source") = "citics_2019");
    m.attr("_cache_industry_data") = glob("ttl_cache")(3600)(raw);
    pyc::def_function(m, "_get_listed_date_mask_series", "(order_book_ids, trading_dates)",
                      kListedMaskDoc, &listed_date_mask, py::arg("order_book_ids"),
                      py::arg("trading_dates"));
    pyc::def_function(m, "_load_industry_data", "(order_book_ids, dates, source='citics_2019')",
                      kLoadIndustryDoc, &load_industry_data, py::arg("order_book_ids"),
                      py::arg("dates"), py::arg("source") = "citics_2019");
}

}  // namespace tarnfold::bench
