"""The exchange rules behind daily price limits on the Shanghai, Shenzhen and
Beijing exchanges, as data and vectorised functions: which board a stock
trades on, the limit rate of a board on a date (ST stocks included), the
first days after a listing that trade without a limit, and the rounding of
limit prices to the tick.

The sample market draws its prices under these rules and the store derives
the limits of a store that does not hold them (``get_price_limits``), so
both read the same table.

Boards (codes kept in arrays): 0 main board, 1 ChiNext, 2 STAR market,
3 Beijing exchange, -1 unknown (no limit can be derived).
"""

import numpy as np
import pandas as pd

BOARDS = ("main", "chinext", "star", "bse")
UNKNOWN_BOARD = -1

# ChiNext moved to registration-based listing with 20 % limits (ST stocks
# included) on this date; listings from then on trade without a limit for
# their first five days.
CHINEXT_REFORM = pd.Timestamp("2020-08-24")
# The main boards followed with registration-based listing: their listings
# from this date trade without a limit for their first five days.
MAIN_BOARD_REGISTRATION = pd.Timestamp("2023-04-10")

# A price within half a tick of a limit is at the limit.
TICK = 0.01
LIMIT_TOLERANCE = TICK / 2

# First-day band of a listing that has one: up 44 %, down 36 % from the
# issue price (the first bar's previous close).
FIRST_DAY_UP, FIRST_DAY_DOWN = 0.44, 0.36


def board_of_codes(order_book_ids):
    """Board code of each identifier read from its code and exchange:
    600/601/603/605 (XSHG), 000/001/002/003 (XSHE) main board; 300/301
    ChiNext; 688/689 STAR; identifiers on BJSE the Beijing exchange;
    anything else -1."""
    out = np.full(len(order_book_ids), UNKNOWN_BOARD, dtype=np.int8)
    for k, oid in enumerate(order_book_ids):
        code, _, exchange = str(oid).partition(".")
        if exchange == "BJSE":
            out[k] = 3
        elif len(code) != 6 or not code.isdigit():
            continue
        elif exchange == "XSHG":
            out[k] = 2 if code[:3] in ("688", "689") else 0 if code[0] in "69" else -1
        elif exchange == "XSHE":
            out[k] = 1 if code[:3] in ("300", "301") else 0 if code[0] in "02" else -1
    return out


def board_codes(names):
    """Board names ("main", "chinext", ...) as codes (-1 for other text)."""
    lookup = {b: k for k, b in enumerate(BOARDS)}
    return np.array(
        [lookup.get(str(n).strip().lower(), UNKNOWN_BOARD) for n in names], dtype=np.int8
    )


def limit_rates(board, dates, st, age, listed):
    """Daily limit rates (up, down) as fractions of the previous close.

    ``board``: board codes, shape (N,) or (T, N); ``dates``: (T,)
    datetime64; ``st``: (T, N) booleans; ``age``: (T, N) trading days
    since listing (0 on the listing day); ``listed``: (N,) datetime64
    listing dates.  NaN where no limit applies: the first five days of
    ChiNext listings from its reform, of STAR listings and of main-board
    listings from registration; the first day on the Beijing exchange;
    unknown boards.  The first day of other listings has the 44 % / 36 %
    band."""
    dates = np.asarray(pd.DatetimeIndex(dates).values)[:, None]
    board = np.broadcast_to(np.asarray(board), np.shape(st))
    listed = np.asarray(pd.DatetimeIndex(listed).values)[None, :]
    reformed = dates >= CHINEXT_REFORM.to_datetime64()
    rate = np.full(np.shape(st), np.nan)
    rate = np.where(board == 0, np.where(st, 0.05, 0.10), rate)
    rate = np.where(board == 1, np.where(reformed, 0.20, np.where(st, 0.05, 0.10)), rate)
    rate = np.where(board == 2, 0.20, rate)
    rate = np.where(board == 3, 0.30, rate)
    up, down = rate.copy(), rate.copy()
    five_free = (
        ((board == 1) & (listed >= CHINEXT_REFORM.to_datetime64()))
        | (board == 2)
        | ((board == 0) & (listed >= MAIN_BOARD_REGISTRATION.to_datetime64()))
    )
    free = (five_free & (age < 5)) | ((board == 3) & (age < 1))
    first_band = (age == 0) & ~five_free & ((board == 0) | (board == 1))
    up = np.where(first_band, FIRST_DAY_UP, up)
    down = np.where(first_band, FIRST_DAY_DOWN, down)
    up[free] = np.nan
    down[free] = np.nan
    return up, down


def limit_prices(prev_close, up_rate, down_rate):
    """Limit prices from the previous close, rounded half up to the tick
    (NaN where the rate or the previous close is NaN)."""
    with np.errstate(invalid="ignore"):
        up = np.floor(prev_close * (1.0 + up_rate) / TICK + 0.5 + 1e-9) * TICK
        down = np.floor(prev_close * (1.0 - down_rate) / TICK + 0.5 + 1e-9) * TICK
    return np.round(up, 2), np.round(down, 2)
