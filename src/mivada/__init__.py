"""mivada: the market-data client, served from an embedded DuckDB store.

Importing the package is cheap: no store is opened or generated until the
first operation (or an explicit ``mivada.init``).  See README.md in this
folder for the store layout and the import format.
"""

from mivada import decorators, utils  # noqa: F401
from mivada.errors import (  # noqa: F401
    ArgumentError,
    IngestError,
    MivadaError,
    StoreError,
)
from mivada.api import (  # noqa: F401
    Instrument,
    Store,
    all_instruments,
    close,
    current_store,
    get_factor,
    get_factor_names,
    get_latest_trading_date,
    get_next_trading_date,
    get_previous_trading_date,
    get_price,
    get_price_change_rate,
    get_price_panel,
    get_style_factor_exposure,
    get_trading_dates,
    index_components,
    init,
    instruments,
    pinned_store,
    sample_home,
    sample_path,
    sample_size,
    trading_date_offset,
)
from mivada.api import (  # noqa: F401
    get_board_records,
    get_price_limits,
    get_st_records,
    get_st_status,
    trading_data_sources,
)
from mivada import client  # noqa: F401,E402


def ingest(directory, path, **kwargs):
    """Import CSV/Parquet tables from ``directory`` into the store at
    ``path`` (``date_format`` reads text dates in that strftime format);
    see ``mivada.ingest_files.ingest``."""
    from mivada.ingest_files import ingest as _ingest

    return _ingest(directory, path, **kwargs)
