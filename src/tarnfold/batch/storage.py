"""The on-disk layout of a batch's results.

::

    OUT/
      .lock                         held by the batch writing into OUT
      factors/<folder>/             one folder per factor of the last run
        result.json                 state ("done" or "failed"), summary row,
                                    run parameters, table index, and the size
                                    and SHA-256 of every other file
        factor.parquet              the factor table (dates x instruments)
        <step>.<attribute>.parquet  every table of every result object
        data_loss.parquet, rank_autocorrelation.parquet, data_health.parquet
      factors/.tmp-*                a factor being written (never read)
      summary.csv                   the batch's result table

A factor's folder is written under a temporary name and renamed when
complete, so a folder under its own name is always whole: a batch killed
while writing leaves only a ``.tmp-`` folder, which the next batch removes.
What a folder holds is checked before it is trusted: ``result.json``
carries a checksum of its own text and the size and checksum of every
table, so that a table deleted, cut short or changed afterwards is found
(``verify``): a resumed batch computes that factor again, and reading it
raises ``DamagedResultsError`` naming the file.  A factor that failed keeps
only a record of its failure, so that no earlier run's tables outlive it.

Folder names are the factor names percent-quoted (a long name: its start
and a hash of the whole), so any text is a valid factor name.
"""

import contextlib
import fcntl
import hashlib
import json
import os
import shutil
import socket
import urllib.parse
import uuid
import warnings

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from tarnfold.analysis.analysis_result import RESULT_CLASSES, result_class

# (the workflow imports every analyser of ours, so their result classes are
# registered before a stored folder is read back)
from tarnfold.workflow import AssayResults

RESULT_FILE = "result.json"
FACTOR_FILE = "factor.parquet"
SUMMARY_FILE = "summary.csv"
LOCK_FILE = ".lock"
TMP_PREFIX = ".tmp-"
OLD_PREFIX = ".old-"
ROW_GROUP_DATES = 128  # the correlation view reads blocks of dates
RECORD_FORMAT = 2  # 2: state, file sizes and checksums
DONE, FAILED = "done", "failed"

# a file name is at most 255 bytes; a folder name (or a step's part of a
# table's file name) longer than this is shortened to its start and a hash
MAX_NAME = 120


class DamagedResultsError(ValueError):
    """Stored results that fail their check: a file missing, cut short or
    changed since it was written."""


class FolderInUseError(OSError):
    """Another batch holds the output folder."""


def factors_dir(out):
    return os.path.join(os.fspath(out), "factors")


def folder_name(name):
    """The folder (or file-name part) of ``name``: percent-quoted, never
    hidden, at most ``MAX_NAME`` characters."""
    quoted = urllib.parse.quote(name, safe="")
    if quoted.startswith("."):
        quoted = "%2E" + quoted[1:]
    if len(quoted) > MAX_NAME:
        start = quoted[: MAX_NAME - 25]
        if "%" in start[-2:]:  # not through an escape
            start = start[: start.rindex("%")]
        quoted = "{}~{}".format(start, hashlib.sha256(name.encode("utf-8")).hexdigest()[:24])
    return quoted


def factor_dir(out, name):
    return os.path.join(factors_dir(out), folder_name(name))


# -- the lock ------------------------------------------------------------------------


@contextlib.contextmanager
def batch_lock(out):
    """Hold ``out`` for one batch: FolderInUseError when another batch (in
    any process) holds it.  The lock goes with the process that holds it,
    so a batch that was killed never leaves the folder locked."""
    os.makedirs(out, exist_ok=True)
    path = os.path.join(out, LOCK_FILE)
    fh = open(path, "a+", encoding="utf-8")
    try:
        fcntl.flock(fh, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        fh.seek(0)
        owner = fh.read().strip() or "another process"
        fh.close()
        raise FolderInUseError(
            "out: another batch ({}) is writing into {}; wait for it to "
            "finish or choose another folder".format(owner, out)
        ) from None
    try:
        fh.seek(0)
        fh.truncate()
        fh.write(
            "pid {} on {} since {:%Y-%m-%d %H:%M:%S}".format(
                os.getpid(), socket.gethostname(), pd.Timestamp.now()
            )
        )
        fh.flush()
        yield
    finally:
        fcntl.flock(fh, fcntl.LOCK_UN)
        fh.close()


def remove_stale_temp(out):
    """Remove what killed writers left behind (``.tmp-`` and ``.old-``
    folders).  Only the batch holding the lock calls this."""
    root = factors_dir(out)
    if not os.path.isdir(root):
        return 0
    n = 0
    for entry in os.listdir(root):
        if entry.startswith(TMP_PREFIX) or entry.startswith(OLD_PREFIX):
            shutil.rmtree(os.path.join(root, entry), ignore_errors=True)
            n += 1
    return n


# -- records and their checks --------------------------------------------------------


def _text_digest(body):
    return hashlib.sha256(json.dumps(body, sort_keys=True, default=str).encode("utf-8")).hexdigest()


def _file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as fh:
        for chunk in iter(lambda: fh.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def _write_record(folder, record):
    """``result.json`` with the size and checksum of every other file of
    ``folder`` and a checksum of its own text."""
    record = dict(
        record,
        format=RECORD_FORMAT,
        files={
            f: {
                "size": os.path.getsize(os.path.join(folder, f)),
                "sha256": _file_digest(os.path.join(folder, f)),
            }
            for f in sorted(os.listdir(folder))
        },
    )
    record["checksum"] = _text_digest(record)
    with open(os.path.join(folder, RESULT_FILE), "w", encoding="utf-8") as fh:
        json.dump(record, fh, indent=1, default=str)
        fh.flush()
        os.fsync(fh.fileno())


def _read_record_at(folder):
    """The record of ``folder``, or None when it has none; DamagedResultsError
    when it cannot be read or its text changed since it was written."""
    path = os.path.join(folder, RESULT_FILE)
    try:
        with open(path, encoding="utf-8") as fh:
            record = json.load(fh)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as exc:
        raise DamagedResultsError("{}: cannot be read ({})".format(path, exc)) from None
    if not isinstance(record, dict):
        raise DamagedResultsError(
            "{}: expected a record, got {}".format(path, type(record).__name__)
        )
    if "checksum" in record:
        body = {k: v for k, v in record.items() if k != "checksum"}
        if _text_digest(body) != record["checksum"]:
            raise DamagedResultsError("{}: changed since it was written".format(path))
    return record


def read_record(out, name):
    """The ``result.json`` of factor ``name``, or None when there is none;
    DamagedResultsError when it is damaged."""
    return _read_record_at(factor_dir(out, name))


def verify(folder, record, files=None):
    """DamagedResultsError naming the first file of ``folder`` (of
    ``files``, default all) whose size or checksum differs from what
    ``record`` says was written.  A record written without checksums (by an
    earlier version) is trusted with a warning."""
    if "files" not in record:
        warnings.warn(
            "{}: written by an earlier version, without checksums; its tables are "
            "not verified".format(folder)
        )
        return
    for f in sorted(record["files"] if files is None else files):
        path = os.path.join(folder, f)
        want = record["files"].get(f)
        if want is None:
            raise DamagedResultsError("{}: not among the files written".format(path))
        try:
            size = os.path.getsize(path)
        except OSError:
            raise DamagedResultsError("{}: missing".format(path)) from None
        if size != want["size"]:
            raise DamagedResultsError(
                "{}: {} bytes, {} were written".format(path, size, want["size"])
            )
        if _file_digest(path) != want["sha256"]:
            raise DamagedResultsError("{}: changed since it was written".format(path))


def finished_record(out, name, files=None):
    """The verified record of factor ``name`` (see ``verify``): KeyError
    when it has no results under ``out`` or failed in the last run,
    DamagedResultsError when they are damaged."""
    record = read_record(out, name)
    if record is None:
        raise KeyError("factor {!r}: no results under {}".format(name, os.fspath(out)))
    if record.get("state", DONE) != DONE:
        raise KeyError(
            "factor {!r}: failed in the last run under {}: {}".format(
                name, os.fspath(out), record.get("row", {}).get("error")
            )
        )
    verify(factor_dir(out, name), record, files)
    return record


def stored_names(out):
    """The factors with a record under ``out`` and their records (None for
    a damaged one), in folder order."""
    root = factors_dir(out)
    if not os.path.isdir(root):
        return []
    found = []
    for entry in sorted(os.listdir(root)):
        if entry.startswith("."):
            continue
        try:
            record = _read_record_at(os.path.join(root, entry))
        except DamagedResultsError:
            found.append((urllib.parse.unquote(entry), None))
            continue
        if record is not None and folder_name(record.get("name", "")) == entry:
            found.append((record["name"], record))
    return found


# -- tables <-> Parquet -------------------------------------------------------------


def _all_float(frame):
    columns = frame.columns
    return (
        frame.shape[1] > 1
        and not isinstance(columns, pd.MultiIndex)
        and not isinstance(frame.index, pd.MultiIndex)
        and columns.is_unique
        and all(isinstance(c, str) for c in columns)
        and all(d == np.float64 for d in frame.dtypes)
    )


def _float_table(frame):
    """``pa.Table.from_pandas(frame)`` for a frame of float64 columns (the
    factor table: thousands of them): the same table, its columns cut from
    one column-major copy of the values instead of converted through a
    Series each.  The index columns and the pandas metadata come from the
    conversion of the first column; the metadata of the others is that of
    the first under their own names."""
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
    table = _float_table(frame) if _all_float(frame) else pa.Table.from_pandas(frame)
    index_columns = [
        c
        for c in (table.schema.pandas_metadata or {}).get("index_columns", [])
        if isinstance(c, str)
    ]
    coded = [f.name for f in table.schema if not pa.types.is_floating(f.type)]
    pq.write_table(
        table,
        path,
        row_group_size=row_group_size,
        use_dictionary=coded if coded else False,
        write_statistics=index_columns if index_columns else False,
    )


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


def _replace_folder(root, tmp, final):
    """Put the finished folder ``tmp`` in the place of ``final`` (an earlier
    run's, if any)."""
    if os.path.exists(final):
        old = os.path.join(root, "{}{}".format(OLD_PREFIX, uuid.uuid4().hex))
        os.rename(final, old)
        os.rename(tmp, final)
        shutil.rmtree(old, ignore_errors=True)
    else:
        os.rename(tmp, final)
    return final


def _write_folder(out, name, fill):
    """Write factor ``name``'s folder under a temporary name through
    ``fill(folder) -> record`` and rename it into place."""
    root = factors_dir(out)
    os.makedirs(root, exist_ok=True)
    tmp = os.path.join(root, "{}{}-{}".format(TMP_PREFIX, folder_name(name)[:80], uuid.uuid4().hex))
    os.mkdir(tmp)
    try:
        _write_record(tmp, fill(tmp))
        return _replace_folder(root, tmp, factor_dir(out, name))
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise


def write_factor_results(out, name, factor, results, row, meta):
    """Write one factor's tables and ``result.json`` (state "done") into a
    temporary folder and rename it to the factor's folder.  ``results`` is
    the bench's result dict (``AssayResults``); returns the final folder."""

    def fill(tmp):
        record = {
            "name": name,
            "state": DONE,
            "row": {k: _jsonable(v) for k, v in row.items()},
            "meta": meta,
            "results": {},
            "shared": {},
        }
        if factor is not None:
            record["factor"] = _write_table(
                factor, os.path.join(tmp, FACTOR_FILE), row_group_size=ROW_GROUP_DATES
            )
        shared = record["shared"]
        for step, r in results.items():
            cls = type(r).__name__
            if RESULT_CLASSES.get(cls) is not type(r):
                continue  # a user analyser's result: only its summary row is kept
            attrs = {}
            for key in r._keys:
                value = getattr(r, key)
                if isinstance(value, (pd.DataFrame, pd.Series)):
                    attrs[key] = _write_table(
                        value, os.path.join(tmp, "{}.{}.parquet".format(folder_name(step), key))
                    )
                else:
                    attrs[key] = {"kind": "value", "value": _jsonable(value)}
            for extra in (
                "data_loss",
                "rank_autocorrelation",
                "rank_autocorrelation_by_date",
                "data_health",
            ):
                value = getattr(r, extra, None)
                if value is not None and extra not in shared:
                    shared[extra] = _write_table(
                        value, os.path.join(tmp, "{}.parquet".format(extra))
                    )
            record["results"][step] = {"class": cls, "attrs": attrs}
        return record

    return _write_folder(out, name, fill)


def write_failure(out, name, row, meta):
    """Record that factor ``name`` failed (state "failed", its summary row
    with the error, no tables) in place of its folder: an earlier run's
    results are not this run's."""
    return _write_folder(
        out,
        name,
        lambda tmp: {
            "name": name,
            "state": FAILED,
            "row": {k: _jsonable(v) for k, v in row.items()},
            "meta": meta,
        },
    )


def load_factor_table(out, name, start=None, end=None, verified=True):
    """The stored factor table of ``name`` (dates x instruments), optionally
    only the dates from ``start`` to ``end``.  ``verified=False`` skips
    the check of the file (for a caller that checked it already)."""
    record = finished_record(out, name, files=(FACTOR_FILE,) if verified else ())
    if "factor" not in record:
        raise KeyError("factor {!r}: no factor table under {}".format(name, os.fspath(out)))
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
    summarises, plots and reports like the original.

    KeyError when ``name`` has no results under ``out`` or failed in the
    last run; DamagedResultsError naming the file when a stored table is
    missing, cut short or changed since it was written."""
    record = finished_record(out, name)
    folder = factor_dir(out, name)
    shared = {k: _read_table(folder, v) for k, v in record.get("shared", {}).items()}
    if "rank_autocorrelation" in shared:
        shared["rank_autocorrelation"].index.name = "period"
    results = {}
    for step, item in record["results"].items():
        kwargs = {}
        for key, info in item["attrs"].items():
            kwargs[key] = info["value"] if info["kind"] == "value" else _read_table(folder, info)
        r = result_class(item["class"])(**kwargs)
        for key, value in shared.items():
            setattr(r, key, value)
        results[step] = r
    meta = record.get("meta", {})
    return AssayResults(
        results,
        name,
        meta.get("periods", ()),
        meta.get("step_texts", {}),
        record["row"].get("wall s", float("nan")),
    )
