"""The on-disk layout of a batch's results.

::

    OUT/
      factors/<quoted name>/        one folder per finished factor
        result.json                 summary row, run parameters, table index
        factor.parquet              the factor table (dates x instruments)
        <step>.<attribute>.parquet  every table of every result object
        data_loss.parquet, rank_autocorrelation.parquet
      factors/.tmp-*                a factor being written (never read)
      summary.csv                   the batch's result table

A factor's folder is written under a temporary name and renamed into place
once every file in it is complete, so a folder under its own name is always
whole: a batch killed while writing leaves only a ``.tmp-`` folder, which
the next batch removes.  Folder names are the factor names percent-quoted,
so any text is a valid factor name.
"""
import json
import os
import shutil
import urllib.parse
import uuid

import numpy as np
import pandas as pd

RESULT_FILE = "result.json"
FACTOR_FILE = "factor.parquet"
SUMMARY_FILE = "summary.csv"
TMP_PREFIX = ".tmp-"
ROW_GROUP_DATES = 128   # the correlation view reads blocks of dates

_RESULT_CLASSES = ("ICAnalysisResult", "QuantileReturnAnalysisResult",
                   "FactorReturnAnalysisResult")


def factors_dir(out):
    return os.path.join(os.fspath(out), "factors")


def folder_name(name):
    """The folder of factor ``name``: percent-quoted, never hidden."""
    quoted = urllib.parse.quote(name, safe="")
    return "%2E" + quoted[1:] if quoted.startswith(".") else quoted


def factor_dir(out, name):
    return os.path.join(factors_dir(out), folder_name(name))


def is_complete(out, name):
    return os.path.isfile(os.path.join(factor_dir(out, name), RESULT_FILE))


def read_record(out, name):
    """The ``result.json`` of a finished factor, or None."""
    path = os.path.join(factor_dir(out, name), RESULT_FILE)
    try:
        with open(path, encoding="utf-8") as fh:
            return json.load(fh)
    except FileNotFoundError:
        return None
    except (OSError, ValueError):
        return None   # unreadable: treated as missing, the factor is redone


def remove_stale_temp(out):
    """Remove what killed writers left behind (``.tmp-`` and ``.old-``
    folders)."""
    root = factors_dir(out)
    if not os.path.isdir(root):
        return 0
    n = 0
    for entry in os.listdir(root):
        if entry.startswith(TMP_PREFIX) or entry.startswith(".old-"):
            shutil.rmtree(os.path.join(root, entry), ignore_errors=True)
            n += 1
    return n


# -- tables <-> Parquet -------------------------------------------------------------

def _all_float(frame):
    columns = frame.columns
    return frame.shape[1] > 1 and not isinstance(columns, pd.MultiIndex) \
        and not isinstance(frame.index, pd.MultiIndex) and columns.is_unique \
        and all(isinstance(c, str) for c in columns) \
        and all(d == np.float64 for d in frame.dtypes)


def _float_table(frame):
    """``pa.Table.from_pandas(frame)`` for a frame of float64 columns (the
    factor table: thousands of them): the same table, its columns cut from
    one column-major copy of the values instead of converted through a
    Series each.  The index columns and the pandas metadata come from the
    conversion of the first column; the metadata of the others is that of
    the first under their own names."""
    import json
    import pyarrow as pa

    head = pa.Table.from_pandas(frame.iloc[:, :1])
    meta = head.schema.pandas_metadata
    first = meta["columns"][0]
    labels = list(frame.columns)
    meta["columns"] = [dict(first, name=c, field_name=c) for c in labels] + meta["columns"][1:]
    values = np.asfortranarray(frame.to_numpy(dtype=np.float64))
    arrays = [pa.array(values[:, k], from_pandas=True) for k in range(len(labels))]
    fields = [head.schema.field(0).with_name(c) for c in labels]
    arrays += [head.column(i) for i in range(1, head.num_columns)]
    fields += [head.schema.field(i) for i in range(1, head.num_columns)]
    metadata = dict(head.schema.metadata)
    metadata[b"pandas"] = json.dumps(meta).encode("utf8")
    schema = pa.schema(fields, metadata=metadata)
    return pa.Table.from_arrays(arrays, schema=schema)


def _write_parquet(frame, path, row_group_size=None):
    """``frame.to_parquet(path)``, readable back the same way, at less cost
    per column: floats are stored plain (a dictionary of distinct floats
    rarely pays and costs a pass over every column), and min/max statistics
    are kept for the index columns only (what readers filter on, e.g. the
    dates of the factor table)."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    table = _float_table(frame) if _all_float(frame) else pa.Table.from_pandas(frame)
    index_columns = [c for c in (table.schema.pandas_metadata or {}).get("index_columns", [])
                     if isinstance(c, str)]
    coded = [f.name for f in table.schema if not pa.types.is_floating(f.type)]
    pq.write_table(table, path, row_group_size=row_group_size,
                   use_dictionary=coded if coded else False,
                   write_statistics=index_columns if index_columns else False)


def _write_table(obj, path, row_group_size=None):
    """A DataFrame or Series to Parquet; returns how to read it back."""
    kind = "series" if isinstance(obj, pd.Series) else "frame"
    frame = obj.to_frame(name="value") if kind == "series" else obj
    labels = list(frame.columns)
    text_labels = all(isinstance(c, str) for c in labels)
    if not text_labels:
        frame = frame.copy(deep=False)
        frame.columns = [str(c) for c in labels]
    _write_parquet(frame, path, row_group_size)
    info = {"file": os.path.basename(path), "kind": kind}
    if kind == "series":
        info["name"] = obj.name
    if not text_labels:
        info["labels"] = [c.item() if isinstance(c, np.generic) else c for c in labels]
    return info


def _read_table(folder, info):
    frame = pd.read_parquet(os.path.join(folder, info["file"]), engine="pyarrow")
    if "labels" in info:
        frame.columns = info["labels"]
    if info["kind"] == "series":
        s = frame.iloc[:, 0]
        s.name = info.get("name")
        return s
    return frame


def _jsonable(value):
    if isinstance(value, (np.floating, float)):
        v = float(value)
        return v if np.isfinite(v) else None
    if isinstance(value, np.integer):
        return int(value)
    if isinstance(value, (np.bool_, bool)):
        return bool(value)
    return value


def write_factor_results(out, name, factor, results, row, meta):
    """Write one factor's tables and ``result.json`` into a temporary folder
    and rename it to the factor's folder.  ``results`` is the bench's result
    dict (``AssayResults``); returns the final folder."""
    root = factors_dir(out)
    os.makedirs(root, exist_ok=True)
    tmp = os.path.join(root, "{}{}-{}".format(TMP_PREFIX, folder_name(name)[:80],
                                               uuid.uuid4().hex))
    os.mkdir(tmp)
    try:
        record = {"name": name, "row": {k: _jsonable(v) for k, v in row.items()},
                  "meta": meta, "results": {}}
        if factor is not None:
            record["factor"] = _write_table(factor, os.path.join(tmp, FACTOR_FILE),
                                            row_group_size=ROW_GROUP_DATES)
        shared = {}
        for step, r in results.items():
            cls = type(r).__name__
            if cls not in _RESULT_CLASSES:
                continue   # a user analyser's result: only its summary row is kept
            attrs = {}
            for key in getattr(r, "_keys", ()):
                value = getattr(r, key)
                if isinstance(value, (pd.DataFrame, pd.Series)):
                    attrs[key] = _write_table(value, os.path.join(
                        tmp, "{}.{}.parquet".format(folder_name(step), key)))
                else:
                    attrs[key] = {"kind": "value", "value": _jsonable(value)}
            for extra in ("data_loss", "rank_autocorrelation"):
                value = getattr(r, extra, None)
                if value is not None and extra not in shared:
                    shared[extra] = _write_table(value, os.path.join(
                        tmp, "{}.parquet".format(extra)))
            record["results"][step] = {"class": cls, "attrs": attrs}
        record["shared"] = shared
        with open(os.path.join(tmp, RESULT_FILE), "w", encoding="utf-8") as fh:
            json.dump(record, fh, indent=1, default=str)
            fh.flush()
            os.fsync(fh.fileno())
        final = factor_dir(out, name)
        if os.path.exists(final):
            # a finished earlier run (or attempt) of the same factor: replace it
            old = os.path.join(root, ".old-{}".format(uuid.uuid4().hex))
            os.rename(final, old)
            os.rename(tmp, final)
            shutil.rmtree(old, ignore_errors=True)
        else:
            os.rename(tmp, final)
        return final
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise


def load_factor_table(out, name, start=None, end=None):
    """The stored factor table of ``name`` (dates x instruments), optionally
    only the dates from ``start`` to ``end``."""
    record = read_record(out, name)
    if record is None or "factor" not in record:
        raise KeyError("factor {!r}: no complete results under {}".format(
            name, os.fspath(out)))
    path = os.path.join(factor_dir(out, name), record["factor"]["file"])
    filters = None
    if start is not None or end is not None:
        filters = []
        if start is not None:
            filters.append(("datetime", ">=", pd.Timestamp(start)))
        if end is not None:
            filters.append(("datetime", "<=", pd.Timestamp(end)))
    table = pd.read_parquet(path, engine="pyarrow", filters=filters)
    if "labels" in record["factor"]:
        table.columns = record["factor"]["labels"]
    return table


def load_results(out, name):
    """The bench's results of factor ``name`` rebuilt from its stored
    tables: a dict step -> result object (with ``data_loss`` and
    ``rank_autocorrelation``), as ``tarnfold.assay`` returned it; it
    summarises, plots and reports like the original."""
    from tarnfold.analysis import analysis_result
    from tarnfold.workflow import AssayResults

    record = read_record(out, name)
    if record is None:
        raise KeyError("factor {!r}: no complete results under {}".format(
            name, os.fspath(out)))
    folder = factor_dir(out, name)
    shared = {k: _read_table(folder, v) for k, v in record.get("shared", {}).items()}
    if "rank_autocorrelation" in shared:
        shared["rank_autocorrelation"].index.name = "period"
    results = {}
    for step, item in record["results"].items():
        kwargs = {}
        for key, info in item["attrs"].items():
            kwargs[key] = info["value"] if info["kind"] == "value" else _read_table(folder, info)
        r = getattr(analysis_result, item["class"])(**kwargs)
        for key, value in shared.items():
            setattr(r, key, value)
        results[step] = r
    meta = record.get("meta", {})
    return AssayResults(results, name, meta.get("periods", ()), meta.get("step_texts", {}),
                        meta.get("skipped", ()), record["row"].get("wall s", float("nan")))
