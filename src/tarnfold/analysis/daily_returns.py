"""Daily returns for a factor table: the one loader behind ``returns="daily"``
in the bench (``FactorAssayBench.analysis``), ``tarnfold.assay`` and the
batches."""


def load_daily_returns(factor_data, periods, client=None):
    """Daily simple returns of ``factor_data``'s instruments from the
    market-data store, from its earliest date up to ``max(periods)`` trading
    days past its latest (the rows may come in any order).

    ``periods``: the holding periods (checked by the caller); ``client``:
    the market-data client (default ``mivada``).  ValueError when the factor
    table has no date, or the client answers nothing."""
    if client is None:
        import mivada as client
    dates = factor_data.index
    if len(dates) == 0:
        raise ValueError("factor_data and returns have no date in common")
    last = client.get_next_trading_date(dates.max(), max(periods))
    returns = client.get_price_change_rate(
        order_book_ids=factor_data.columns,
        start_date=dates.min(),
        end_date=last,
        expect_df=True,
        market="cn",
    )
    if returns is None:
        # the client answers None when it has no bars at all
        raise ValueError(
            "returns: no daily returns available for the factor's instruments and dates"
        )
    return returns
