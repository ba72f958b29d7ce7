import datetime
import inspect

import numpy as np
import pandas as pd

from mivada.decorators import ttl_cache
from mivada.utils import to_date_str


def test_ttl_cache_per_argument_with_expiry(monkeypatch):
    calls = []
    clock = [1000.0]
    monkeypatch.setattr("mivada.decorators.time.monotonic", lambda: clock[0])

    def load(source="citics_2019"):
        """Load a history."""
        calls.append(source)
        return [source, len(calls)]

    cached = ttl_cache(3600)(load)
    assert inspect.signature(cached) == inspect.signature(load)
    assert cached.__doc__ == "Load a history."
    first = cached(source="sws")
    assert cached(source="sws") is first
    cached(source="citics_2019")
    assert calls == ["sws", "citics_2019"]
    clock[0] += 3599
    assert cached(source="sws") is first
    clock[0] += 2
    assert cached(source="sws") is not first
    cached.cache_clear()
    cached(source="citics_2019")
    assert calls == ["sws", "citics_2019", "sws", "citics_2019"]


def test_to_date_str_forms():
    for value in ("2020-01-10", "20200110", pd.Timestamp("2020-01-10 15:00"),
                  datetime.date(2020, 1, 10), datetime.datetime(2020, 1, 10),
                  np.datetime64("2020-01-10")):
        assert to_date_str(value) == "2020-01-10"
