"""Tables for people: aligned console text and HTML with sensible precision.

Counts print as integers, dates as YYYYMMDD integers, everything else with
four decimals; missing values print as "-".
"""

import html

import numpy as np
import pandas as pd


def _is_int_column(s):
    return pd.api.types.is_integer_dtype(s) or pd.api.types.is_bool_dtype(s)


def _date_int(v):
    return "{:%Y%m%d}".format(pd.Timestamp(v))


def _cell(v, integer=False):
    if v is None or v is pd.NaT or (isinstance(v, float) and np.isnan(v)):
        return "-"
    if isinstance(v, (pd.Timestamp, np.datetime64)):
        return _date_int(v)
    if integer or isinstance(v, (int, np.integer)):
        return "{:d}".format(int(v))
    if isinstance(v, (float, np.floating)):
        return "{:.4f}".format(v)
    return str(v)


def display_frame(df):
    """A copy of ``df`` with every cell as display text (index included)."""
    if isinstance(df, pd.Series):
        df = df.to_frame()
    out = pd.DataFrame(index=df.index.copy(), columns=df.columns)
    for col in df.columns:
        integer = _is_int_column(df[col])
        out[col] = [_cell(v, integer) for v in df[col].tolist()]
    if isinstance(out.index, pd.DatetimeIndex):
        out.index = [_date_int(v) for v in out.index]
    return out


def format_table(df, title=None):
    """Aligned console text of a table."""
    with pd.option_context("display.unicode.east_asian_width", True):
        text = display_frame(df).to_string()
    return "{}\n{}".format(title, text) if title else text


def table_html(df):
    """HTML of a table (class "table") with the same formatting."""
    return display_frame(df).to_html(classes="table", border=0, escape=True)


class SummaryTables(dict):
    """Summary tables: a dict title -> DataFrame, as it always was, that
    prints as aligned text with titles in a console and renders as titled
    HTML tables in a notebook.  ``heading`` (optional) goes first."""

    def __init__(self, tables=(), heading=None):
        super().__init__(tables)
        self.heading = heading

    def __str__(self):
        parts = [self.heading] if self.heading else []
        parts += [format_table(table, title) for title, table in self.items()]
        return "\n\n".join(parts)

    __repr__ = __str__

    def _repr_pretty_(self, printer, cycle):
        printer.text("SummaryTables(...)" if cycle else str(self))

    def _repr_html_(self):
        parts = ["<div>"]
        if self.heading:
            parts.append("<h4>{}</h4>".format(html.escape(self.heading)))
        parts += [
            "<h5>{}</h5>{}".format(html.escape(str(title)), table_html(table))
            for title, table in self.items()
        ]
        parts.append("</div>")
        return "\n".join(parts)
