"""The trials of an output folder and the inference they call for.

Every factor a batch tries in a folder is a trial, whether it finished or
failed, and stays one: ``OUT/trials.json`` keeps them across resumed and
later batches, so a search split into several batches is corrected for
all of it.  A trial is a factor name with what the name stood for: the
tree's structure, the table's content, or the function's code (a name
re-used for something else is a new trial; the same factor run again is
not).  The record keeps each trial's state and, when it finished, the
figures the corrections need: the p-value of its mean IC's Newey-West t
per period and the Sharpe-ratio moments of its portfolios.

``with_inference`` adds to a batch's table the trials' number, the raw
and adjusted p-values (Holm, Benjamini-Hochberg, Benjamini-Yekutieli)
over every trial of the folder (a trial without a p-value counts as 1),
and the deflated Sharpe ratios of the top-minus-bottom and factor-weighted
returns (their trials the folder's, the variance the trials' Sharpe
ratios').
"""

import datetime
import hashlib
import json
import marshal
import os
import uuid

import numpy as np
import pandas as pd
from scipy import stats

from tarnfold.batch.storage import DamagedResultsError
from tarnfold.evidence import inference as inf

TRIALS_FILE = "trials.json"
TRIALS_FORMAT = 1
PORTFOLIOS = ("top-bottom", "factor return")


def identity(spec):
    """What a factor name stands for, as a short hash: the structure of a
    tree, the content of a table, the code of a function; None when
    nothing can be said."""
    from tarnfold.interface import AbstractFactor

    h = hashlib.sha256()
    try:
        if isinstance(spec, AbstractFactor):
            h.update(b"tree\0" + repr(spec).encode("utf-8"))
        elif isinstance(spec, pd.DataFrame):
            h.update(b"table\0")
            h.update(pd.util.hash_pandas_object(spec, index=True).to_numpy().tobytes())
            h.update(repr(list(spec.columns)).encode("utf-8"))
        elif callable(spec) and hasattr(spec, "__code__"):
            code = spec.__code__
            h.update(
                b"function\0"
                + marshal.dumps(code.co_code)
                + repr(code.co_consts).encode("utf-8")
                + getattr(spec, "__qualname__", "").encode("utf-8")
            )
        else:
            return None
    except Exception:
        return None
    return h.hexdigest()[:24]


def _key(name, ident):
    return "{}\0{}".format(name, ident or "")


def _digest(body):
    return hashlib.sha256(json.dumps(body, sort_keys=True).encode("utf-8")).hexdigest()


def _now():
    return datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S")


def read_trials(out, seed=None):
    """The folder's trials (key -> entry); when it has none, those of
    ``seed()`` (the stored factors of a folder written before trials were
    kept); DamagedResultsError when the record is damaged."""
    path = os.path.join(out, TRIALS_FILE)
    try:
        with open(path, encoding="utf-8") as fh:
            record = json.load(fh)
    except FileNotFoundError:
        return dict(seed()) if seed is not None else {}
    except (OSError, ValueError) as exc:
        raise DamagedResultsError(
            "{}: cannot be read ({}); the count of trials it kept is "
            "lost, delete it to count again from the stored "
            "factors".format(path, exc)
        ) from None
    body = {k: v for k, v in record.items() if k != "checksum"}
    if not isinstance(record, dict) or record.get("checksum") != _digest(body):
        raise DamagedResultsError(
            "{}: changed since it was written; delete it to count "
            "again from the stored factors".format(path)
        )
    return record["trials"]


def write_trials(out, trials):
    body = {"format": TRIALS_FORMAT, "trials": trials}
    record = dict(body, checksum=_digest(body))
    path = os.path.join(out, TRIALS_FILE)
    tmp = "{}.{}.tmp".format(path, uuid.uuid4().hex)
    with open(tmp, "w", encoding="utf-8") as fh:
        json.dump(record, fh, indent=1, sort_keys=True)
        fh.flush()
        os.fsync(fh.fileno())
    os.replace(tmp, path)


def seed_from_records(records):
    """Trials of stored factor records ((name, record) pairs): one per
    factor stored before the folder kept its trials."""
    trials = {}
    for name, record in records:
        if record is None:
            continue
        fp = (record.get("meta") or {}).get("fingerprint")
        ident = hashlib.sha256(b"tree\0" + fp.encode("utf-8")).hexdigest()[:24] if fp else None
        entry = {
            "name": name,
            "identity": ident,
            "first": None,
            "last": None,
            "state": record.get("state", "done"),
            "figures": {},
        }
        if entry["state"] == "done":
            entry["figures"] = figures_of(record.get("row", {}))
        trials[_key(name, ident)] = entry
    return trials


def register(trials, identities):
    """Add the factors about to run (name -> identity) that are no trial
    yet, as started."""
    for name, ident in identities.items():
        key = _key(name, ident)
        if key not in trials:
            trials[key] = {
                "name": name,
                "identity": ident,
                "first": _now(),
                "last": None,
                "state": "started",
                "figures": {},
            }
    return trials


def nw_p_value(t):
    """The two-sided normal p-value of a Newey-West t (NaN for none)."""
    t = _number(t)
    return float(2 * stats.norm.sf(abs(t))) if np.isfinite(t) else np.nan


def figures_of(row):
    """The figures of a summary row the corrections need: "p NW P_n" and
    the portfolios' "SR/day P_n"."""
    out = {}
    for key, value in row.items():
        if key.startswith("IC NW t "):
            out["p NW " + key[len("IC NW t ") :]] = nw_p_value(value)
        for label in PORTFOLIOS:
            if key.startswith(label + " SR/day "):
                out[key] = value
    return {
        k: (None if v is None or not np.isfinite(float(v)) else float(v))
        for k, v in out.items()
        if v is not None
    }


def record_results(trials, table, identities):
    """Each factor of the batch's table ends its trial: "done" with its
    figures, or "failed"."""
    for name in table.index:
        key = _key(name, identities.get(name))
        entry = trials.setdefault(
            key, {"name": name, "identity": identities.get(name), "first": _now(), "figures": {}}
        )
        row = table.loc[name]
        error = row.get("error")
        failed = isinstance(error, str) and bool(error)
        entry["state"] = "failed" if failed else "done"
        entry["last"] = _now()
        entry["figures"] = {} if failed else figures_of(row.to_dict())
    return trials


def with_inference(table, periods, trials=None, identities=None):
    """``table`` with the inference columns: "trials", then per period
    "p NW", "p Holm", "p BH", "p BY" and per portfolio "PSR" and "DSR".
    ``trials``: the folder's trials (None: this table's factors are the
    trials)."""
    table = table.copy()
    identities = identities or {}
    if trials is None:
        trials = record_results({}, table, identities)
    keys = list(trials)
    position = {k: i for i, k in enumerate(keys)}
    rows = [position.get(_key(name, identities.get(name))) for name in table.index]
    n_trials = len(keys)
    table["trials"] = n_trials
    for p in periods:
        field = "P_{}".format(p)
        family = np.array(
            [
                trials[k]["figures"].get("p NW " + field, np.nan)
                if trials[k]["figures"].get("p NW " + field) is not None
                else np.nan
                for k in keys
            ],
            dtype=float,
        )
        table["p NW " + field] = [family[i] if i is not None else np.nan for i in rows]
        for label, method in inf.METHODS.items():
            adjusted = inf.adjusted_p_values(family, method)
            table["p {} {}".format(label, field)] = [
                adjusted[i] if i is not None else np.nan for i in rows
            ]
        for label in PORTFOLIOS:
            sr_key = "{} SR/day {}".format(label, field)
            srs = np.array(
                [
                    v
                    for v in (trials[k]["figures"].get(sr_key) for k in keys)
                    if v is not None and np.isfinite(v)
                ],
                dtype=float,
            )
            variance = srs.var(ddof=1) if srs.size > 1 else np.nan
            dsr = []
            for name in table.index:
                row = table.loc[name]
                sr = _number(row.get(sr_key))
                dsr.append(
                    inf.deflated_sharpe(
                        sr,
                        _number(row.get("{} skew {}".format(label, field))),
                        _number(row.get("{} kurtosis {}".format(label, field))),
                        _number(row.get("{} days {}".format(label, field))),
                        n_trials,
                        variance,
                    )
                )
            table["{} DSR {}".format(label, field)] = dsr
    return table


def _number(value):
    try:
        return float(value)
    except (TypeError, ValueError):
        return np.nan


def inference_columns(periods):
    """The inference columns of ``with_inference`` for ``periods``, in order."""
    cols = ["trials"]
    for p in periods:
        field = "P_{}".format(p)
        cols += ["p NW " + field] + ["p {} {}".format(m, field) for m in inf.METHODS]
        cols += [
            "{} {} {}".format(label, what, field) for label in PORTFOLIOS for what in ("PSR", "DSR")
        ]
    return cols
