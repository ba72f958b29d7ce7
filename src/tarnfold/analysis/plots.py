"""Figures of the bench's results (matplotlib).

Every function returns a new ``matplotlib.figure.Figure`` built without
pyplot, so it renders on a machine without a display; ``pyplot=True``
registers it with pyplot instead (for ``show()``).
"""
import numpy as np
import pandas as pd

from tarnfold.analysis import statistics as st

MOVING_AVERAGE = 20


def new_figure(pyplot=False, figsize=(8, 3.2)):
    if pyplot:
        import matplotlib.pyplot as plt
        return plt.figure(figsize=figsize)
    from matplotlib.figure import Figure
    return Figure(figsize=figsize)


def _title(fig, text):
    fig.suptitle(text, fontsize=10)
    fig.tight_layout()
    return fig


def ic_series(ic, p_value, name="", pyplot=False):
    """IC per date (measured dates only) with a 20-date moving average, one
    panel per period."""
    measured = st.ic_measured(ic, p_value)
    fields = list(ic.columns)
    fig = new_figure(pyplot, figsize=(8, 2.2 * max(len(fields), 1)))
    for k, field in enumerate(fields):
        ax = fig.add_subplot(len(fields), 1, k + 1)
        s = ic[field].astype(float).where(measured[field])
        ax.bar(s.index, s.values, width=1.0, color="#9bb7d4", label="IC")
        ax.plot(s.index, s.rolling(MOVING_AVERAGE, min_periods=1).mean().values,
                color="#c0392b", lw=1.2, label="{}-date mean".format(MOVING_AVERAGE))
        ax.axhline(0, color="black", lw=0.5)
        ax.set_ylabel(field)
        if k == 0:
            ax.legend(loc="upper right", fontsize=7)
    return _title(fig, "{} IC over time".format(name).strip())


def ic_histogram(ic, p_value, name="", pyplot=False):
    measured = st.ic_measured(ic, p_value)
    fields = list(ic.columns)
    fig = new_figure(pyplot, figsize=(3 * max(len(fields), 1), 2.8))
    for k, field in enumerate(fields):
        ax = fig.add_subplot(1, len(fields), k + 1)
        s = ic[field].astype(float)[measured[field]]
        ax.hist(s.values, bins=30, color="#5b8cc0")
        ax.axvline(s.mean() if len(s) else 0, color="#c0392b", lw=1)
        ax.set_title("{}: mean {:.4f}".format(field, s.mean() if len(s) else np.nan), fontsize=8)
    return _title(fig, "{} IC distribution".format(name).strip())


def ic_decay(decay_table, name="", pyplot=False):
    fields = [c for c in decay_table.columns if not str(c).startswith("dates ")]
    means = decay_table[fields]
    fig = new_figure(pyplot)
    ax = fig.add_subplot(1, 1, 1)
    lags = np.arange(len(means.index))
    width = 0.8 / max(len(fields), 1)
    for k, field in enumerate(fields):
        ax.bar(lags + k * width, means[field].values, width=width, label=field)
    ax.set_xticks(lags + 0.4 - width / 2)
    ax.set_xticklabels([str(i) for i in means.index])
    ax.set_xlabel("lag (rows)")
    ax.axhline(0, color="black", lw=0.5)
    ax.legend(fontsize=7)
    return _title(fig, "{} mean IC by lag".format(name).strip())


_CJK_FONT = []


def _cjk_font():
    """The name of an installed font with Chinese glyphs, or None."""
    if not _CJK_FONT:
        from matplotlib import font_manager
        hints = ("CJK", "Hei", "Song", "Kai", "WenQuanYi", "Droid Sans Fallback", "Ming",
                 "Gothic", "YaHei")
        found = None
        for f in font_manager.fontManager.ttflist:
            if any(h.lower() in f.name.lower() for h in hints):
                found = f.name
                break
        _CJK_FONT.append(found)
    return _CJK_FONT[0]


def _labels(names):
    """Tick labels and font for names that may be Chinese: without a font
    that has the glyphs, names outside ASCII become their row numbers in the
    industry table (1 = first row)."""
    text = [str(n) for n in names]
    if all(t.isascii() for t in text):
        return text, None
    font = _cjk_font()
    return (text, font) if font else (None, None)


def ic_industry(industry_table, name="", pyplot=False):
    order = {label: k + 1 for k, label in enumerate(industry_table.index)}
    t = industry_table.iloc[:, 0].sort_values()
    fig = new_figure(pyplot, figsize=(6, max(2.5, 0.18 * len(t) + 1)))
    ax = fig.add_subplot(1, 1, 1)
    ax.barh(range(len(t)), t.values, color=["#c0392b" if v < 0 else "#2e86c1" for v in t.values])
    ax.set_yticks(range(len(t)))
    labels, font = _labels(t.index)
    if labels is None:
        labels = ["#{}".format(order[i]) for i in t.index]
        ax.set_ylabel("row of the industry table", fontsize=7)
    ax.set_yticklabels(labels, fontsize=6, fontfamily=font or "sans-serif")
    ax.axvline(0, color="black", lw=0.5)
    return _title(fig, "{} pooled IC by industry ({})".format(name, t.name).strip())


def group_returns(quantile_returns, name="", pyplot=False):
    fields = list(quantile_returns.columns)
    fig = new_figure(pyplot, figsize=(8, 2.4 * max(len(fields), 1)))
    for k, field in enumerate(fields):
        ax = fig.add_subplot(len(fields), 1, k + 1)
        wide = quantile_returns[field].unstack(level="tag")
        for label in wide.columns:
            ax.plot(wide.index, wide[label].values, lw=1, label=str(label))
        ax.set_ylabel(field)
        if k == 0:
            ax.legend(fontsize=7, ncol=len(wide.columns))
    return _title(fig, "{} cumulative group returns".format(name).strip())


def turnover(quantile_turnover, name="", pyplot=False):
    fields = list(quantile_turnover.columns)
    fig = new_figure(pyplot, figsize=(8, 2.2 * max(len(fields), 1)))
    for k, field in enumerate(fields):
        ax = fig.add_subplot(len(fields), 1, k + 1)
        wide = quantile_turnover[field].unstack(level="tag")
        for label in wide.columns:
            ax.plot(wide.index, wide[label].rolling(MOVING_AVERAGE, min_periods=1).mean().values,
                    lw=1, label=str(label))
        ax.set_ylabel(field)
        if k == 0:
            ax.legend(fontsize=7, ncol=len(wide.columns))
    return _title(fig, "{} group turnover ({}-date mean)".format(name, MOVING_AVERAGE).strip())


def long_short(top_minus_bottom, benchmark=None, name="", pyplot=False):
    fig = new_figure(pyplot)
    ax = fig.add_subplot(1, 1, 1)
    for field in top_minus_bottom.columns:
        ax.plot(top_minus_bottom.index, top_minus_bottom[field].values, lw=1,
                label="top-bottom " + str(field))
    if benchmark is not None:
        b = pd.Series(benchmark, dtype=float)
        ax.plot(b.index, b.values, color="black", lw=1, ls="--",
                label="benchmark {}".format(b.name or ""))
    ax.axhline(0, color="black", lw=0.5)
    ax.legend(fontsize=7)
    return _title(fig, "{} long-short against the benchmark".format(name).strip())


def factor_returns(table, name="", pyplot=False):
    fig = new_figure(pyplot)
    ax = fig.add_subplot(1, 1, 1)
    for field in table.columns:
        ax.plot(table.index, table[field].astype(float).values, lw=1, label=str(field))
    ax.axhline(0, color="black", lw=0.5)
    ax.legend(fontsize=7)
    return _title(fig, "{} cumulative factor return".format(name).strip())


def to_png_base64(fig, dpi=80):
    """The figure as base64-encoded PNG text (for embedding in HTML)."""
    import base64
    import io
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=dpi)
    return base64.b64encode(buf.getvalue()).decode("ascii")
