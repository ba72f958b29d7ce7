"""The operations of the market-data client.

All functions read the current store, opened by ``init`` or, on first use,
the sample store in the user's cache folder.  Conventions shared by every
operation:

* ``order_book_ids`` is one identifier or any list-like of them (list,
  tuple, ``pd.Index``, array); repeats are dropped, order is kept.
* Dates are read by ``mivada.utils.as_date``: anything ``pd.Timestamp``
  reads, integers as YYYYMMDD.  An unreadable date, a reversed range or an
  unknown field raises ``ArgumentError`` (a ``ValueError``) naming the
  argument.
* Queries that find no data return ``None``, never an empty frame.
* Daily results are indexed by midnight timestamps of trading dates.

One module per concern: ``store_state`` (which store is read),
``arguments``, ``calendar``, ``instruments``, ``prices`` (daily bars and
returns; ``kept_reads`` keeps them for reuse), ``minute_bars``,
``exposures``, ``factors``, ``index_members`` and ``trading`` (price
limits, boards and ST status for the trading rules).  Everything is
re-exported here.
"""

from mivada.api.arguments import (  # noqa: F401
    _TS_MIN,
    _as_date,
    _as_fields,
    _as_ids,
    _as_int,
    _as_time,
)
from mivada.api.calendar import (  # noqa: F401
    _calendar_step,
    _date_range,
    _latest,
    _project_weekdays,
    _projects_calendar,
    get_latest_trading_date,
    get_next_trading_date,
    get_previous_trading_date,
    get_trading_dates,
    trading_date_offset,
)
from mivada.api.exposures import (  # noqa: F401
    _style_exposures,
    get_style_factor_exposure,
)
from mivada.api.factors import (  # noqa: F401
    _merge_long,
    _stored_factor_names,
    get_factor,
    get_factor_names,
)
from mivada.api.frames import (  # noqa: F401
    _floats,
    _long_frame,
    _request_frame,
)
from mivada.api.index_members import index_components  # noqa: F401
from mivada.api.instruments import (  # noqa: F401
    NOT_DELISTED,
    Instrument,
    _date_text,
    all_instruments,
    instruments,
)
from mivada.api.kept_reads import (  # noqa: F401
    KEPT_EXPOSURES,
    _copy_on_write,
    _handed_out,
    _kept,
    _kept_lock,
    _reusing,
    forget_reads,
    reusing_reads,
)
from mivada.api.minute_bars import _minute_range  # noqa: F401
from mivada.api.prices import (  # noqa: F401
    _FREQUENCIES,
    _daily_panel,
    _kept_panel,
    _panel_days,
    _panel_frames,
    get_price,
    get_price_change_rate,
    get_price_panel,
)
from mivada.api.trading import (  # noqa: F401
    get_board_records,
    get_price_limits,
    get_st_records,
    get_st_status,
    trading_data_sources,
)
from mivada.api.store_state import (  # noqa: F401
    _init,
    _open_lock,
    _pinned,
    _release,
    _same_file,
    _state,
    _state_lock,
    close,
    current_store,
    init,
    pinned_store,
    sample_home,
    sample_path,
    sample_size,
    store_token,
)
from mivada.errors import (  # noqa: F401
    ArgumentError,
    IngestError,
    MivadaError,
    StoreError,
)
from mivada.schema import (  # noqa: F401
    DAILY_FIELDS,
    MINUTE_FIELDS,
    SCHEMA_VERSION,
    quote_ident,
)
from mivada.store import Store  # noqa: F401

__all__ = [
    "Instrument",
    "Store",
    "StoreError",
    "all_instruments",
    "close",
    "current_store",
    "get_factor",
    "get_factor_names",
    "get_latest_trading_date",
    "get_next_trading_date",
    "get_previous_trading_date",
    "get_price",
    "get_price_change_rate",
    "get_price_panel",
    "get_style_factor_exposure",
    "get_trading_dates",
    "index_components",
    "init",
    "instruments",
    "pinned_store",
    "sample_home",
    "sample_path",
    "sample_size",
    "trading_date_offset",
    "get_board_records",
    "get_price_limits",
    "get_st_records",
    "get_st_status",
    "trading_data_sources",
]
