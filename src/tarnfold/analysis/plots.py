"""Figures of the bench's results (matplotlib).

Every function returns a new ``matplotlib.figure.Figure`` built without
pyplot, so it renders on a machine without a display; ``pyplot=True``
registers it with pyplot instead (for ``show()``).

Long histories change the drawing, not the numbers: up to
``SHORT_HISTORY`` dates a per-date series is drawn date by date with a
20-date mean; beyond, as monthly means with a quarter's or a year's mean
(``smoothing_window``).  Cumulative returns switch to wealth on a log
scale when the wealth of the lines spans more than ``WIDE_RANGE`` times.
"""

import numpy as np
import pandas as pd

from tarnfold.analysis import statistics as st
from tarnfold.analysis.fonts import plot_labels
from tarnfold.constants import ANALYSER_STEPS, TRADING_DAYS_PER_YEAR

SHORT_HISTORY = 500
WIDE_RANGE = 10.0
QUARTER = 61
MONTHS = "JFMAMJJASOND"
POSITIVE, NEGATIVE, LIGHT = "#2e86c1", "#c0392b", "#9bb7d4"


def smoothing_window(n_dates):
    """Dates in the moving mean drawn over a series of ``n_dates`` dates:
    20 for a short history, a quarter up to 2,000 dates, a year beyond."""
    if n_dates <= SHORT_HISTORY:
        return 20
    return QUARTER if n_dates <= 2000 else TRADING_DAYS_PER_YEAR


def new_figure(pyplot=False, figsize=(8, 3.2)):
    # constrained layout: room for titles and outside legends is found
    # when the figure is drawn, not by an extra drawing when it is built
    if pyplot:
        import matplotlib.pyplot as plt

        return plt.figure(figsize=figsize, layout="constrained")
    from matplotlib.figure import Figure

    return Figure(figsize=figsize, layout="constrained")


def _title(fig, text, name=""):
    """Give the figure its title, naming the step only when the title does
    not already say it (a step of one's own: "IC over time (ic_20d)")."""
    fig.suptitle(_titled(text, name), fontsize=10)
    return fig


def _titled(text, name):
    name = str(name or "")
    if name and name not in ANALYSER_STEPS and name.lower() not in text.lower():
        return "{} ({})".format(text, name)
    return text


def _legend(ax, **kwargs):
    """The legend beside the axes, where it covers nothing."""
    ax.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0, **kwargs)


def _panels(fig, n, columns=False):
    return [
        fig.add_subplot(1, n, k + 1) if columns else fig.add_subplot(n, 1, k + 1) for k in range(n)
    ]


def _smoothed(series, window):
    """Moving mean over the series' values (missing dates skipped), NaN
    until half a window has been seen."""
    s = series.dropna()
    return s.rolling(window, min_periods=max(window // 2, 1)).mean()


def _monthly_bars(ax, series, color, label):
    """The series' monthly means as bars, one per month."""
    s = series.dropna()
    if s.empty:
        return
    monthly = s.groupby(pd.DatetimeIndex(s.index).to_period("M")).mean()
    ax.bar(
        monthly.index.to_timestamp(),
        monthly.values,
        width=27,
        align="edge",
        color=color,
        lw=0,
        label=label,
    )


def _daily_or_monthly(ax, series, window):
    """A per-date series the way its length reads best, with its moving
    mean; the legend labels of both."""
    if series.notna().sum() <= SHORT_HISTORY:
        ax.vlines(series.index, 0.0, series.values, color=LIGHT, lw=1.0, label="daily")
    else:
        _monthly_bars(ax, series, LIGHT, "monthly mean")
    mean = _smoothed(series, window)
    ax.plot(mean.index, mean.values, color=NEGATIVE, lw=1.2, label="{}-date mean".format(window))


def ic_series(ic, p_value, name="", pyplot=False):
    """IC per measured date with its moving mean, one panel per period."""
    measured = st.ic_measured(ic, p_value)
    fields = list(ic.columns)
    window = smoothing_window(int(measured.sum().max()) if len(fields) else 0)
    fig = new_figure(pyplot, figsize=(8, 2.2 * max(len(fields), 1)))
    for k, (field, ax) in enumerate(zip(fields, _panels(fig, len(fields)))):
        _daily_or_monthly(ax, ic[field].astype(float).where(measured[field]), window)
        ax.axhline(0, color="black", lw=0.5)
        ax.set_ylabel(field)
        if k == 0:
            _legend(ax)
    return _title(fig, "IC over time", name)


def ic_histogram(ic, p_value, name="", pyplot=False):
    measured = st.ic_measured(ic, p_value)
    fields = list(ic.columns)
    fig = new_figure(pyplot, figsize=(3 * max(len(fields), 1), 2.8))
    for field, ax in zip(fields, _panels(fig, len(fields), columns=True)):
        s = ic[field].astype(float)[measured[field]]
        ax.hist(s.values, bins=30, color="#5b8cc0")
        ax.axvline(s.mean() if len(s) else 0, color=NEGATIVE, lw=1)
        ax.set_title("{}: mean {:.4f}".format(field, s.mean() if len(s) else np.nan), fontsize=8)
    return _title(fig, "IC distribution", name)


def ic_qq(ic, p_value, name="", pyplot=False):
    """Quantiles of the measured IC against those of a normal distribution
    (the straight line: a normal with the IC's mean and deviation); fat
    tails bend away from it at both ends."""
    from scipy import stats

    measured = st.ic_measured(ic, p_value)
    fields = list(ic.columns)
    fig = new_figure(pyplot, figsize=(3 * max(len(fields), 1), 3.0))
    for field, ax in zip(fields, _panels(fig, len(fields), columns=True)):
        s = ic[field].astype(float)[measured[field]].to_numpy()
        if s.size >= 2:
            (theory, ordered), (slope, intercept, _) = stats.probplot(s, dist="norm")
            ax.plot(theory, ordered, ".", ms=2.5, color="#5b8cc0")
            ax.plot(theory, intercept + slope * theory, color=NEGATIVE, lw=1)
        ax.set_title(field, fontsize=8)
        ax.set_xlabel("normal quantile", fontsize=7)
        ax.set_ylabel("IC quantile", fontsize=7)
        ax.tick_params(labelsize=7)
    return _title(fig, "IC against the normal (Q-Q)", name)


def ic_monthly_heatmap(ic, p_value, name="", pyplot=False):
    """Mean IC per month: years down, months across, one panel per period;
    red is negative, blue positive, on one colour scale for all panels."""
    from matplotlib.colors import TwoSlopeNorm

    table = st.monthly_ic(ic, p_value)
    fields = list(ic.columns)
    years = sorted({p.year for p in table.index}) or [0]
    grids = {}
    for field in fields:
        grid = np.full((len(years), 12), np.nan)
        for period, value in table[field].items() if field in table else ():
            grid[years.index(period.year), period.month - 1] = value
        grids[field] = grid
    top = np.nanmax(
        [np.nanmax(np.abs(g)) if np.isfinite(g).any() else 0.0 for g in grids.values()] + [1e-6]
    )
    norm = TwoSlopeNorm(vmin=-top, vcenter=0.0, vmax=top)
    height = max(2.4, 0.2 * len(years) + 1.2)
    fig = new_figure(pyplot, figsize=(max(3.2 * len(fields), 4.5) + 0.8, height))
    axes = _panels(fig, len(fields), columns=True)
    image = None
    for field, ax in zip(fields, axes):
        grid = grids[field]
        image = ax.imshow(grid, cmap="RdBu", norm=norm, aspect="auto", interpolation="none")
        ax.set_title(field, fontsize=8)
        ax.set_xticks(range(12))
        ax.set_xticklabels(list(MONTHS), fontsize=7)
        step = max(1, int(np.ceil(len(years) / 30)))
        ax.set_yticks(range(0, len(years), step))
        ax.set_yticklabels([str(y) for y in years[::step]], fontsize=7)
        if len(years) <= 8:
            for (i, j), v in np.ndenumerate(grid):
                if np.isfinite(v):
                    ax.text(
                        j,
                        i,
                        "{:.2f}".format(v),
                        ha="center",
                        va="center",
                        fontsize=6,
                        color="white" if abs(v) > 0.6 * top else "black",
                    )
    if image is not None:
        bar = fig.colorbar(image, ax=axes, fraction=0.04, pad=0.02)
        bar.ax.tick_params(labelsize=7)
    return _title(fig, "monthly mean IC", name)


def ic_decay(decay_table, name="", pyplot=False):
    fields = [c for c in decay_table.columns if not str(c).startswith("dates ")]
    means = decay_table[fields]
    fig = new_figure(pyplot, figsize=(8.6, 3.2))
    ax = fig.add_subplot(1, 1, 1)
    lags = np.arange(len(means.index))
    width = 0.8 / max(len(fields), 1)
    for k, field in enumerate(fields):
        ax.bar(lags + k * width, means[field].values, width=width, label=field)
    ax.set_xticks(lags + 0.4 - width / 2)
    ax.set_xticklabels([str(i) for i in means.index])
    ax.set_xlabel("lag (rows)")
    ax.axhline(0, color="black", lw=0.5)
    _legend(ax)  # beside the bars, never over the lag-0 ones
    return _title(fig, "mean IC by lag", name)


def industry_plot_labels(names):
    """(labels, font) of the industry bars: see ``fonts.plot_labels``; a
    name without a label becomes its row number in the industry table
    ("#15", 1 = first row), and labels that would repeat get the row
    number too."""
    names = list(names)
    labels, font = plot_labels(names)
    labels = [label if label is not None else "#{}".format(k + 1) for k, label in enumerate(labels)]
    counts = pd.Series(labels).value_counts()
    labels = [
        "{} #{}".format(label, k + 1) if counts[label] > 1 else label
        for k, label in enumerate(labels)
    ]
    return labels, font


def ic_industry(industry_table, name="", pyplot=False):
    """Pooled IC per industry, one panel per period, industries sorted by
    the first period's IC (best at the top)."""
    labels, font = industry_plot_labels(industry_table.index)
    label_of = dict(zip(industry_table.index, labels))
    fields = list(industry_table.columns)
    order = industry_table[fields[0]].astype(float).sort_values().index
    rows = len(order)
    fig = new_figure(pyplot, figsize=(2.0 + 2.4 * max(len(fields), 1), max(2.5, 0.26 * rows + 1.0)))
    axes = [fig.add_subplot(1, len(fields), 1)]
    axes += [fig.add_subplot(1, len(fields), k + 1, sharey=axes[0]) for k in range(1, len(fields))]
    for k, (field, ax) in enumerate(zip(fields, axes)):
        values = industry_table[field].astype(float).reindex(order).to_numpy()
        ax.barh(range(rows), values, color=[NEGATIVE if v < 0 else POSITIVE for v in values])
        ax.axvline(0, color="black", lw=0.5)
        ax.set_title(field, fontsize=8)
        ax.tick_params(axis="x", labelsize=7)
        if k == 0:
            ax.set_yticks(range(rows))
            # the found font first, the default for what it lacks (Latin letters)
            ax.set_yticklabels(
                [label_of[i] for i in order],
                fontsize=8,
                fontfamily=[font, "sans-serif"] if font else "sans-serif",
            )
            ax.set_ylim(-0.6, rows - 0.4)
        else:
            ax.tick_params(axis="y", labelleft=False)
    return _title(fig, "pooled IC by industry (all dates pooled)", name)


def _wide(wealth):
    """True when wealth lines (a table) are better read on a log scale:
    all positive and spanning more than ``WIDE_RANGE`` times."""
    values = np.asarray(wealth, dtype=float)
    values = values[np.isfinite(values)]
    return values.size > 0 and values.min() > 0 and values.max() / values.min() > WIDE_RANGE


def _cumulative_axis(ax, log, wealth):
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    if log:
        ax.set_yscale("log")
        values = np.asarray(wealth, dtype=float)
        values = values[np.isfinite(values) & (values > 0)]
        decades = np.log10(values.max() / values.min()) if values.size else 0.0
        # ticks at 1, 2, 5 times the powers of ten over a few decades, at
        # powers of ten over many (where matplotlib drops the others anyway)
        ax.yaxis.set_major_locator(
            LogLocator(subs=(1.0, 2.0, 5.0)) if decades <= 3 else LogLocator()
        )
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: "{:,.6g}".format(v)))
        ax.yaxis.set_minor_formatter(NullFormatter())
        ax.axhline(1.0, color="black", lw=0.5)
    else:
        ax.axhline(0.0, color="black", lw=0.5)


def _cumulative_lines(ax, table, log, labels=None, **style):
    """Columns of cumulative returns: as wealth (1 + return) on a log axis,
    else as cumulative returns."""
    for k, column in enumerate(table.columns):
        values = table[column].astype(float).to_numpy()
        ax.plot(
            table.index,
            1.0 + values if log else values,
            lw=1,
            label=str(labels[k] if labels else column),
            **style,
        )


def _scale_note(log):
    return "wealth, log scale (start = 1)" if log else "cumulative return"


def group_returns(quantile_returns, name="", pyplot=False):
    fields = list(quantile_returns.columns)
    log = _wide(1.0 + quantile_returns.astype(float).to_numpy())
    fig = new_figure(pyplot, figsize=(8, 2.4 * max(len(fields), 1)))
    for k, (field, ax) in enumerate(zip(fields, _panels(fig, len(fields)))):
        wide = quantile_returns[field].unstack(level="tag")
        _cumulative_lines(ax, wide, log)
        _cumulative_axis(ax, log, 1.0 + wide.to_numpy(dtype=float))
        ax.set_ylabel(field)
        if k == 0:
            _legend(ax)
    return _title(
        fig, "cumulative group returns" + (" (wealth, log scale: start = 1)" if log else ""), name
    )


def mean_group_returns(table, name="", pyplot=False):
    """Mean daily return of each group, in basis points: bars by group,
    one colour per period."""
    fields = list(table.columns)
    fig = new_figure(pyplot, figsize=(8, 3.0))
    ax = fig.add_subplot(1, 1, 1)
    x = np.arange(len(table.index))
    width = 0.8 / max(len(fields), 1)
    for k, field in enumerate(fields):
        ax.bar(x + k * width, table[field].astype(float).to_numpy() * 1e4, width=width, label=field)
    ax.set_xticks(x + 0.4 - width / 2)
    ax.set_xticklabels([str(i) for i in table.index])
    ax.set_ylabel("bps a day")
    ax.axhline(0, color="black", lw=0.5)
    _legend(ax)
    return _title(fig, "mean daily return by group", name)


def turnover(per_rebalance, name="", pyplot=False, what="turnover per rebalance"):
    """Turnover (``{field: dates x groups}``; ``what`` says which: per
    rebalance by default) over time, as a moving mean."""
    fields = list(per_rebalance)
    n = max((len(t) for t in per_rebalance.values()), default=0)
    window = smoothing_window(n)
    fig = new_figure(pyplot, figsize=(8, 2.2 * max(len(fields), 1)))
    for k, (field, ax) in enumerate(zip(fields, _panels(fig, len(fields)))):
        wide = per_rebalance[field]
        for label in wide.columns:
            mean = _smoothed(wide[label], window)
            ax.plot(mean.index, mean.values, lw=1, label=str(label))
        ax.set_ylabel(field)
        ax.set_ylim(0.0, 1.0)
        if k == 0:
            _legend(ax)
    return _title(fig, "{} ({}-date mean)".format(what, window), name)


def long_short(top_minus_bottom, benchmark=None, name="", pyplot=False):
    """The top-minus-bottom spread, cumulative; with a benchmark, the
    index's cumulative return beside it (dashed)."""
    table = top_minus_bottom.astype(float)
    bench = None if benchmark is None else pd.Series(benchmark, dtype=float)
    both = table if bench is None else pd.concat([table, bench.rename("benchmark")], axis=1)
    log = _wide(1.0 + both.to_numpy())
    fig = new_figure(pyplot)
    ax = fig.add_subplot(1, 1, 1)
    _cumulative_lines(ax, table, log, labels=["top-bottom " + str(c) for c in table.columns])
    title = "long-short: top minus bottom group"
    if bench is not None:
        _cumulative_lines(
            ax,
            bench.to_frame(),
            log,
            labels=["benchmark {}".format(bench.name or "")],
            color="black",
            ls="--",
        )
        title += ", and the benchmark"
    _cumulative_axis(ax, log, 1.0 + both.to_numpy())
    ax.set_ylabel(_scale_note(log), fontsize=7)
    _legend(ax)
    return _title(fig, title, name)


def factor_returns(table, name="", pyplot=False):
    log = _wide(1.0 + table.astype(float).to_numpy())
    fig = new_figure(pyplot)
    ax = fig.add_subplot(1, 1, 1)
    _cumulative_lines(ax, table, log)
    _cumulative_axis(ax, log, 1.0 + table.astype(float).to_numpy())
    ax.set_ylabel(_scale_note(log), fontsize=7)
    _legend(ax)
    return _title(fig, "cumulative factor return", name)


def rank_autocorrelation(by_date, pyplot=False):
    """The factor's rank autocorrelation per date (moving mean for a long
    history), one line per period, the mean in the legend."""
    window = smoothing_window(len(by_date))
    short = len(by_date) <= SHORT_HISTORY
    fig = new_figure(pyplot)
    ax = fig.add_subplot(1, 1, 1)
    for field in by_date.columns:
        s = by_date[field].astype(float)
        line = s.dropna() if short else _smoothed(s, window)
        ax.plot(line.index, line.values, lw=1, label="{} (mean {:.3f})".format(field, s.mean()))
    ax.set_ylim(top=1.0)
    ax.axhline(0, color="black", lw=0.5)
    _legend(ax)
    what = "per date" if short else "{}-date mean".format(window)
    return _title(fig, "factor rank autocorrelation with P_n rows earlier ({})".format(what))


def to_png(fig, dpi=80):
    """The figure as PNG bytes."""
    import io

    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=dpi)
    return buf.getvalue()


def to_png_base64(fig, dpi=80):
    """The figure as base64-encoded PNG text (for embedding in HTML)."""
    import base64

    return base64.b64encode(to_png(fig, dpi)).decode("ascii")
