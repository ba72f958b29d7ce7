"""The industry breakdown of the IC analyser at A-share scale: rank IC with
10 decay lags by a source name (industry labels per date from the
classification history and the listing mask) and by a fixed label per
instrument in three label dtypes (str, object, categorical).  The
market-data client is replaced by a generated one (30 industries, every
instrument reclassified once, a tenth listed during the window).

    python benchmarks/bench_ic_industry.py --dates 2500 --instruments 5000

Times are CPU seconds of the process (the machine is shared) and wall
seconds; peak is the growth of the resident set over the run.
"""

import argparse
import time
import types
import warnings

import numpy as np
import pandas as pd

from _harness import _reset_peak, _status_kib


def make_inputs(n_dates, n_inst, seed=7):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2015-01-05", periods=n_dates + 20)
    ids = ["%06d.%s" % (i, "XSHE" if i % 2 else "XSHG") for i in range(n_inst)]
    returns = pd.DataFrame(
        rng.normal(0.0003, 0.02, size=(len(dates), n_inst)), index=dates, columns=ids
    )
    factor = pd.DataFrame(rng.normal(size=(n_dates, n_inst)), index=dates[:n_dates], columns=ids)
    factor = factor.mask(rng.random(factor.shape) < 0.05)
    listed = [
        dates[rng.integers(0, n_dates)] if k % 10 == 0 else pd.Timestamp("2010-01-04")
        for k in range(n_inst)
    ]
    listing = pd.DataFrame(
        {
            "order_book_id": ids,
            "listed_date": [d.strftime("%Y-%m-%d") for d in listed],
            "de_listed_date": ["0000-00-00"] * n_inst,
        }
    )
    records = []
    for k, oid in enumerate(ids):
        records.append(("industry_%02d" % (k % 30), oid, listed[k]))
        records.append(("industry_%02d" % ((k + 7) % 30), oid, dates[rng.integers(0, n_dates)]))
    fixed = {oid: "industry_%02d" % (k % 30) for k, oid in enumerate(ids)}
    return factor, returns, listing, records, fixed


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dates", type=int, default=2500)
    ap.add_argument("--instruments", type=int, default=5000)
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    import tarnfold.analysis.assay_bench as ab

    factor, returns, listing, records, fixed = make_inputs(args.dates, args.instruments)
    fake = types.SimpleNamespace(execute=lambda name: list(records))
    ab.mivada = types.SimpleNamespace(
        client=types.SimpleNamespace(get_client=lambda: fake),
        all_instruments=lambda kind: listing.copy(),
    )
    fixed_str = pd.Series(fixed, dtype="str")
    cases = [
        ("citics_2019", "citics_2019"),
        ("fixed str", fixed_str),
        ("fixed object", fixed_str.astype(object)),
        ("fixed categorical", fixed_str.astype("category")),
    ]
    print("%d dates x %d instruments" % (args.dates, args.instruments))
    for name, industry in cases:
        ab._cache_industry_data.cache_clear()
        analyser = ab.ICAnalysis(rank_ic=True, industry_classification=industry, max_decay=10)
        _reset_peak()
        base = _status_kib("VmRSS")
        c0, t0 = time.process_time(), time.perf_counter()
        res = analyser.analysis(factor, returns, [1, 5, 20])
        cpu, wall = time.process_time() - c0, time.perf_counter() - t0
        peak = (_status_kib("VmHWM") - base) / 1024
        # The industry step alone, on the formatted table.
        fd = ab._format_factor_data(factor, returns, [1, 5, 20])
        c1 = time.process_time()
        analyser._calc_ic_industry_distribute(fd)
        ind = time.process_time() - c1
        print(
            "%-18s analysis cpu %6.2f s wall %6.2f s peak +%5.0f MiB | industry step cpu %5.2f s"
            " | %d industries" % (name, cpu, wall, peak, ind, len(res.ic_industry_distribute))
        )


if __name__ == "__main__":
    main()
