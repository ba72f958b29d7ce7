#include "analysis/long_frame.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <numeric>

namespace tarnfold::bench::longf {

namespace {

// Counting sort of rows by a dense code in [0, n_groups); code -1 rows are
// left out.
void bucket_rows(const std::vector<index_t> &code, index_t n_groups, Groups &g) {
    g.start.assign(static_cast<std::size_t>(n_groups) + 1, 0);
    for (index_t c : code)
        if (c >= 0) ++g.start[static_cast<std::size_t>(c) + 1];
    for (index_t k = 0; k < n_groups; ++k) g.start[k + 1] += g.start[k];
    g.rows.resize(static_cast<std::size_t>(g.start.back()));
    std::vector<index_t> fill(g.start.begin(), g.start.end() - 1);
    for (std::size_t r = 0; r < code.size(); ++r) {
        const index_t c = code[r];
        if (c >= 0) g.rows[static_cast<std::size_t>(fill[c]++)] = static_cast<index_t>(r);
    }
}

}  // namespace

py::object int64_array(const std::vector<index_t> &values) {
    Int64Array a(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), a.mutable_data());
    return a;
}

int find_level(py::handle index, const char *name) {
    py::list names(index.attr("names"));
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (py::str(name).equal(names[k])) return static_cast<int>(k);
    }
    return -1;
}

int level_number(py::handle index, const char *name) {
    auto &pd = frame::pandas();
    if (!py::isinstance(index, pd.attr("MultiIndex"))) {
        throw py::value_error(std::string("factor_data: expected a MultiIndex with the levels "
                                          "'datetime' and 'order_book_id', got ") +
                              pyc::type_repr(index));
    }
    const int k = find_level(index, name);
    if (k < 0) throw py::key_error(std::string("Level ") + name + " not found");
    return k;
}

namespace {

// Calls fn with a typed pointer to the codes of a MultiIndex level, in
// whatever signed integer width pandas keeps them (no widened copy).
template <typename Fn>
void with_codes(const py::array &codes, Fn &&fn) {
    const auto kind = codes.dtype().kind();
    const auto size = codes.itemsize();
    if (kind == 'i' && size == 1) fn(static_cast<const std::int8_t *>(codes.data()));
    else if (kind == 'i' && size == 2) fn(static_cast<const std::int16_t *>(codes.data()));
    else if (kind == 'i' && size == 4) fn(static_cast<const std::int32_t *>(codes.data()));
    else if (kind == 'i' && size == 8) fn(static_cast<const std::int64_t *>(codes.data()));
    else throw py::type_error("MultiIndex codes: unexpected dtype");
}

// A level's codes and the map from level code to the position of the
// value among the observed values in sorted order (-1: never observed).
struct LevelCodes {
    py::array codes;
    std::vector<index_t> map;
};

LevelCodes level_codes(py::handle index, int level, py::object &observed) {
    auto &np = frame::numpy();
    py::object levels = index.attr("levels")[py::int_(level)];
    LevelCodes out;
    out.codes = np.attr("ascontiguousarray")(index.attr("codes")[py::int_(level)]);
    const index_t n_levels = py::len(levels);
    // Rank of each level value in sorted order (levels are usually sorted
    // already, but a MultiIndex may carry them in any order).
    Int64Array order(levels.attr("argsort")());
    std::vector<index_t> rank(static_cast<std::size_t>(n_levels));
    for (index_t k = 0; k < n_levels; ++k) rank[static_cast<std::size_t>(order.at(k))] = k;
    std::vector<char> used(static_cast<std::size_t>(n_levels), 0);
    const index_t n = out.codes.size();
    with_codes(out.codes, [&](const auto *c) {
        for (index_t r = 0; r < n; ++r)
            if (c[r] >= 0) used[static_cast<std::size_t>(c[r])] = 1;
    });
    // Compact to the observed values, in sorted order.
    std::vector<index_t> take;
    std::vector<index_t> compact(static_cast<std::size_t>(n_levels), -1);
    for (index_t k = 0; k < n_levels; ++k) {
        const index_t code = order.at(k);
        if (!used[static_cast<std::size_t>(code)]) continue;
        compact[static_cast<std::size_t>(k)] = static_cast<index_t>(take.size());
        take.push_back(code);
    }
    out.map.resize(static_cast<std::size_t>(n_levels));
    for (index_t code = 0; code < n_levels; ++code)
        out.map[static_cast<std::size_t>(code)] =
            compact[static_cast<std::size_t>(rank[static_cast<std::size_t>(code)])];
    observed = levels.attr("take")(int64_array(take));
    // Group keys carry no frequency, whatever the level had.
    auto &pd = frame::pandas();
    if (py::isinstance(observed, pd.attr("DatetimeIndex")) && !observed.attr("freq").is_none()) {
        observed = pd.attr("DatetimeIndex")(observed, py::arg("freq") = py::none());
    }
    return out;
}

}  // namespace

Groups date_groups(py::handle frame) {
    py::object index = frame.attr("index");
    const int lvl = level_number(index, "datetime");
    Groups g;
    LevelCodes lc = level_codes(index, lvl, g.keys);
    const index_t n_groups = py::len(g.keys), n = lc.codes.size();
    // Counting sort of the rows by date.
    g.start.assign(static_cast<std::size_t>(n_groups) + 1, 0);
    with_codes(lc.codes, [&](const auto *c) {
        for (index_t r = 0; r < n; ++r)
            if (c[r] >= 0) ++g.start[static_cast<std::size_t>(lc.map[c[r]]) + 1];
        for (index_t k = 0; k < n_groups; ++k) g.start[k + 1] += g.start[k];
        g.rows.resize(static_cast<std::size_t>(g.start.back()));
        std::vector<index_t> fill(g.start.begin(), g.start.end() - 1);
        for (index_t r = 0; r < n; ++r)
            if (c[r] >= 0) g.rows[static_cast<std::size_t>(fill[lc.map[c[r]]]++)] = r;
    });
    return g;
}

namespace {

// Drops the keys no row uses, renumbering the codes (kept keys keep their
// order).
void drop_unused_keys(std::vector<index_t> &code, py::object &keys) {
    const index_t n_keys = py::len(keys);
    std::vector<index_t> remap(static_cast<std::size_t>(n_keys), -1);
    for (index_t c : code)
        if (c >= 0) remap[static_cast<std::size_t>(c)] = 0;
    std::vector<index_t> take;
    for (index_t k = 0; k < n_keys; ++k) {
        if (remap[static_cast<std::size_t>(k)] < 0) continue;
        remap[static_cast<std::size_t>(k)] = static_cast<index_t>(take.size());
        take.push_back(k);
    }
    if (static_cast<index_t>(take.size()) == n_keys) return;
    for (auto &c : code)
        if (c >= 0) c = remap[static_cast<std::size_t>(c)];
    keys = keys.attr("take")(int64_array(take));
}

// Sorted label codes of one label per row (-1: no label) and the sorted
// distinct labels.
void sorted_label_codes(py::handle labels, std::vector<index_t> &code, py::object &keys) {
    auto &pd = frame::pandas();
    auto &np = frame::numpy();
    py::object dtype = labels.attr("dtype");
    py::object types = pd.attr("api").attr("types");
    if (py::isinstance(dtype, pd.attr("CategoricalDtype"))) {
        // Categories are labels like any other: ordered and named as the
        // same labels in a text column would be, whatever the category order.
        py::object cat = labels.attr("cat");
        std::vector<index_t> by_category;
        sorted_label_codes(pd.attr("Series")(cat.attr("categories")), by_category, keys);
        Int64Array c(cat.attr("codes").attr("to_numpy")(py::arg("dtype") = "int64"));
        code.resize(static_cast<std::size_t>(c.size()));
        for (index_t r = 0; r < c.size(); ++r) {
            const long long k = c.data()[r];
            code[static_cast<std::size_t>(r)] = k < 0 ? -1
                                                      : by_category[static_cast<std::size_t>(k)];
        }
        drop_unused_keys(code, keys);
        return;
    }
    const bool is_object = types.attr("is_object_dtype")(dtype).cast<bool>();
    if (!is_object && types.attr("is_string_dtype")(dtype).cast<bool>()) {
        // Text columns (pyarrow- or Python-backed): one factorization in
        // the library, no Python string per row.
        py::tuple fz = pd.attr("Series")(labels).attr("factorize")(py::arg("sort") = true);
        Int64Array c(fz[0]);
        code.assign(c.data(), c.data() + c.size());
        // Keys as a plain text index, whichever string dtype the labels had.
        keys = pd.attr("Index")(fz[1].attr("tolist")());
        return;
    }
    py::object values = is_object ? labels.attr("to_numpy")(py::arg("dtype") = "object")
                                  : labels.attr("values");
    bool done = false;
    if (is_object) {
        // Labels repeat as the same few objects: map each distinct object
        // once (by identity, then by equality through a dict), then sort
        // the distinct labels.
        py::array arr = py::reinterpret_borrow<py::array>(values);
        py::array flat = np.attr("ascontiguousarray")(arr);
        const auto **items = static_cast<const PyObject **>(const_cast<void *>(flat.data()));
        const index_t n = flat.size();
        // Open-addressing table from object address to label code.
        std::size_t cap = 64;
        std::vector<const PyObject *> slot_key(cap, nullptr);
        std::vector<index_t> slot_code(cap, -1);
        std::size_t used_slots = 0;
        py::dict by_value;
        py::list distinct;
        py::object isna = pd.attr("isna");
        auto slot_of = [&](const PyObject *obj) {
            std::size_t h = (reinterpret_cast<std::uintptr_t>(obj) >> 4) * 0x9E3779B97F4A7C15ull;
            std::size_t i = h & (cap - 1);
            while (slot_key[i] && slot_key[i] != obj) i = (i + 1) & (cap - 1);
            return i;
        };
        code.resize(static_cast<std::size_t>(n));
        const PyObject *last_obj = nullptr;
        index_t last_code = -1;
        for (index_t r = 0; r < n; ++r) {
            const PyObject *obj = items[r];
            if (obj == last_obj) {
                code[static_cast<std::size_t>(r)] = last_code;
                continue;
            }
            std::size_t i = slot_of(obj);
            if (!slot_key[i]) {
                py::handle h(const_cast<PyObject *>(obj));
                index_t k = -1;
                if (!py::bool_(isna(h))) {
                    if (by_value.contains(h)) {
                        k = by_value[h].cast<index_t>();
                    } else {
                        k = static_cast<index_t>(distinct.size());
                        by_value[h] = py::int_(k);
                        distinct.append(h);
                    }
                }
                slot_key[i] = obj;
                slot_code[i] = k;
                if (++used_slots * 2 > cap) {
                    // Grow and rehash.
                    std::vector<const PyObject *> old_key;
                    std::vector<index_t> old_code;
                    old_key.swap(slot_key);
                    old_code.swap(slot_code);
                    cap *= 4;
                    slot_key.assign(cap, nullptr);
                    slot_code.assign(cap, -1);
                    for (std::size_t j = 0; j < old_key.size(); ++j) {
                        if (!old_key[j]) continue;
                        const std::size_t t = slot_of(old_key[j]);
                        slot_key[t] = old_key[j];
                        slot_code[t] = old_code[j];
                    }
                    i = slot_of(obj);
                }
            }
            last_obj = obj;
            last_code = slot_code[i];
            code[static_cast<std::size_t>(r)] = last_code;
        }
        py::object sorted_labels;
        try {
            sorted_labels = py::module_::import("builtins").attr("sorted")(distinct);
            done = true;
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_TypeError)) throw;
        }
        if (done) {
            const index_t n_distinct = static_cast<index_t>(distinct.size());
            py::dict position;
            py::list sorted_list(sorted_labels);
            for (index_t k = 0; k < n_distinct; ++k)
                position[sorted_list[static_cast<std::size_t>(k)]] = py::int_(k);
            std::vector<index_t> remap(static_cast<std::size_t>(n_distinct));
            for (index_t k = 0; k < n_distinct; ++k)
                remap[static_cast<std::size_t>(k)] =
                    position[distinct[static_cast<std::size_t>(k)]].cast<index_t>();
            for (auto &c : code)
                if (c >= 0) c = remap[static_cast<std::size_t>(c)];
            keys = pd.attr("Index")(sorted_labels);
        }
    }
    if (!done) {
        // Any other label type (numbers, categories, mixed objects): the
        // library's sorted factorization.
        py::tuple fz = pd.attr("factorize")(values, py::arg("sort") = true);
        Int64Array c(fz[0]);
        code.assign(c.data(), c.data() + c.size());
        keys = pd.attr("Index")(fz[1]);
    }
}

}  // namespace

Groups label_groups(py::handle labels) {
    Groups g;
    std::vector<index_t> code;
    sorted_label_codes(labels, code, g.keys);
    bucket_rows(code, py::len(g.keys), g);
    return g;
}

Groups code_groups(std::vector<index_t> code, py::object keys) {
    // Sort the keys (the sorted factorization of the keys, as for labels of
    // any other type), renumber the codes, drop unused keys.
    auto &pd = frame::pandas();
    Groups g;
    py::tuple fz = pd.attr("factorize")(pd.attr("Index")(keys), py::arg("sort") = true);
    Int64Array rank(fz[0]);
    for (auto &c : code)
        if (c >= 0) c = rank.data()[c];
    g.keys = pd.attr("Index")(fz[1]);
    drop_unused_keys(code, g.keys);
    bucket_rows(code, py::len(g.keys), g);
    return g;
}

Grid date_instrument_grid(py::handle frame) {
    py::object index = frame.attr("index");
    const int dl = level_number(index, "datetime");
    const int il = level_number(index, "order_book_id");
    Grid grid;
    LevelCodes dates = level_codes(index, dl, grid.dates);
    LevelCodes inst = level_codes(index, il, grid.instruments);
    grid.n_dates = py::len(grid.dates);
    grid.n_inst = py::len(grid.instruments);
    grid.rows.assign(static_cast<std::size_t>(grid.n_dates * grid.n_inst), -1);
    const index_t n = dates.codes.size();
    bool duplicate = false;
    with_codes(dates.codes, [&](const auto *dc) {
        with_codes(inst.codes, [&](const auto *ic) {
            for (index_t r = 0; r < n && !duplicate; ++r) {
                if (dc[r] < 0 || ic[r] < 0) continue;
                index_t &cell = grid.rows[static_cast<std::size_t>(dates.map[dc[r]] * grid.n_inst +
                                                                   inst.map[ic[r]])];
                duplicate = cell >= 0;
                cell = r;
            }
        });
    });
    if (duplicate) {
        throw py::value_error(
            "factor_data: a (datetime, order_book_id) pair occurs more than once");
    }
    return grid;
}

Columns read_columns(py::handle frame, const py::list &fields) {
    // Row positions and doubled ranks are kept in 32 bits.
    if (py::len(frame) >= (std::size_t{1} << 30)) {
        throw py::value_error(pyc::format(
            "factor_data: expected fewer than 2**30 rows (the IC kernels' limit), got {}",
            py::make_tuple(py::len(frame))));
    }
    auto &pd = frame::pandas();
    auto &np = frame::numpy();
    py::object is_numeric = pd.attr("api").attr("types").attr("is_numeric_dtype");
    py::object float64 = np.attr("dtype")("float64");
    Columns out;
    auto read = [&](py::handle name) {
        // KeyError for a missing column, as selecting it would raise.
        py::object col = frame.attr("__getitem__")(name);
        if (!py::isinstance(col, pd.attr("Series"))) {
            throw py::value_error(pyc::format("factor_data: column {!r} must appear once",
                                              py::make_tuple(name)));
        }
        py::object dtype = col.attr("dtype");
        if (!is_numeric(dtype).cast<bool>() ||
            pd.attr("api").attr("types").attr("is_complex_dtype")(dtype).cast<bool>()) {
            throw py::type_error(
                pyc::format("factor_data: column {!r} has dtype {}; expected "
                            "numeric values",
                            py::make_tuple(name, dtype)));
        }
        py::object values = py::isinstance(dtype, np.attr("dtype"))
                                ? col.attr("to_numpy")(py::arg("dtype") = float64)
                                : col.attr("to_numpy")(py::arg("dtype") = float64,
                                                       py::arg("na_value") = np.attr("nan"));
        py::array arr = py::array::ensure(values);
        if (!arr || arr.ndim() != 1 || !arr.dtype().is(py::dtype::of<double>()) ||
            arr.strides(0) % static_cast<py::ssize_t>(sizeof(double)) != 0) {
            arr = np.attr("ascontiguousarray")(values, py::arg("dtype") = float64);
        }
        out.arrays.push_back(arr);
        kern::ColumnRef ref;
        ref.data = static_cast<const double *>(arr.data());
        ref.stride = arr.strides(0) / static_cast<py::ssize_t>(sizeof(double));
        return ref;
    };
    for (py::handle f : fields) out.table.fields.push_back(read(f));
    out.table.factor = read(py::str("factor"));
    return out;
}

}  // namespace tarnfold::bench::longf
