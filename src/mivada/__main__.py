"""Command line of the market-data client.

python -m mivada ingest DIR [--store PATH] [--date-format FORMAT]
python -m mivada generate [--sample NAME] [--n-stocks N] [--n-days N]
                          [--seed N] [--out PATH]
python -m mivada info [--store PATH]
"""

import argparse
import os
import sys
import time


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m mivada")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("ingest", help="import CSV/Parquet table files")
    p.add_argument("directory")
    p.add_argument("--store", help="store file (default: $MIVADA_STORE); created when missing")
    p.add_argument(
        "--date-format",
        help="strftime format of the files' text "
        "dates, such as %%d/%%m/%%Y (default: ISO 8601 or YYYYMMDD; "
        "dates like 03/04/2023 only when the values settle the "
        "order of day and month)",
    )
    p = sub.add_parser("generate", help="build a sample store")
    p.add_argument("--sample", default="default")
    p.add_argument("--n-stocks", type=int)
    p.add_argument("--n-days", type=int)
    p.add_argument("--seed", type=int)
    p.add_argument("--out", help="store file (default: the cache folder)")
    p = sub.add_parser("info", help="describe a store")
    p.add_argument("--store")
    args = parser.parse_args(argv)

    if args.command == "ingest":
        store = args.store or os.environ.get("MIVADA_STORE")
        if not store:
            parser.error("ingest: give --store or set MIVADA_STORE")
        from mivada.errors import MivadaError
        from mivada.ingest_files import ingest

        try:
            written = ingest(args.directory, store, date_format=args.date_format)
        except MivadaError as exc:
            print(exc, file=sys.stderr)
            return 1
        except OSError as exc:
            print("nothing was imported: {}".format(exc), file=sys.stderr)
            return 1
        for table, n in written.items():
            print("{:>18}: {} rows".format(table, n))
        print("imported into {}".format(os.path.abspath(store)))
        return 0

    if args.command == "generate":
        from mivada.api import sample_path, sample_size
        from mivada.sample import build_sample_store

        size = sample_size(args.sample, args.n_stocks, args.n_days, args.seed)
        out = args.out or sample_path(size)
        t0 = time.perf_counter()
        build_sample_store(out, size)
        print(
            "{} ({} stocks x {} days) in {:.1f}s".format(
                out, size.n_stocks, size.n_days, time.perf_counter() - t0
            )
        )
        return 0

    from mivada.store import Store, StoreError

    try:
        store = Store(args.store or os.environ.get("MIVADA_STORE") or _default_sample())
    except StoreError as exc:
        print(exc, file=sys.stderr)
        return 1
    try:
        print(store.path)
        for key, value in sorted(store.meta.items()):
            print("  {}: {}".format(key, value))
        from mivada.schema import OPTIONAL_TABLES_DDL

        present = {r[0] for r in store.fetchall("SELECT table_name FROM information_schema.tables")}
        for table in (
            "instruments",
            "daily_bars",
            "minute_bars",
            "industry_records",
            "index_members",
            "style_exposures",
            "factor_values",
        ) + tuple(t for t in OPTIONAL_TABLES_DDL if t in present):
            n = store.fetchall("SELECT count(*) FROM " + table)[0][0]
            print("  {} rows: {}".format(table, n))
        print("  data: {} to {}".format(store.data_start, store.data_end))
    finally:
        store.close()
    return 0


def _default_sample():
    from mivada.api import sample_path, sample_size

    return sample_path(sample_size())


if __name__ == "__main__":
    sys.exit(main())
