"""What a researcher sees: summary tables in a console and a notebook,
plots that read well over long histories and without a CJK font, and the
report's lines."""

import pickle
import re
import warnings

import matplotlib

matplotlib.use("Agg")

import numpy as np
import pandas as pd
import pytest

from tarnfold.analysis import fonts, plots
from tarnfold.analysis.formatting import SummaryTables
from tarnfold.workflow import assay, bench_steps


def test_summary_tables_are_the_dict_they_were_and_print_as_tables():
    ic = pd.DataFrame(
        {"mean": [0.031, 0.04], "dates": [489, 480]}, index=pd.Index(["P_1", "P_5"], name="period")
    )
    tables = SummaryTables({"IC by holding period": ic, "other": ic.iloc[:1]}, heading="== ic ==")
    assert isinstance(tables, dict) and list(tables) == ["IC by holding period", "other"]
    assert tables["other"] is not None and dict(tables)["other"].shape == (1, 2)
    text = str(tables)
    assert text.startswith("== ic ==") and repr(tables) == text
    lines = text.splitlines()
    row = next(line for line in lines if line.startswith("P_5"))
    assert row.split() == ["P_5", "0.0400", "480"]
    header = lines[lines.index("IC by holding period") + 1]
    assert header.index("dates") + len("dates") == row.index("480") + 3  # right-aligned
    html = tables._repr_html_()
    assert html.count("<table") == 2 and "<h5>IC by holding period</h5>" in html
    back = pickle.loads(pickle.dumps(tables))
    assert back.heading == "== ic ==" and list(back) == list(tables)
    pretty = pytest.importorskip("IPython.lib.pretty")
    assert pretty.pretty(tables) == text


# -- industry names ------------------------------------------------------------


def _font_with(path, chars, family):
    """A TrueType font whose only glyphs are squares for ``chars``."""
    from fontTools.fontBuilder import FontBuilder
    from fontTools.pens.ttGlyphPen import TTGlyphPen

    def square():
        pen = TTGlyphPen(None)
        for point in ((100, 0), (100, 700), (700, 700), (700, 0)):
            (pen.lineTo if point != (100, 0) else pen.moveTo)(point)
        pen.closePath()
        return pen.glyph()

    names = [".notdef"] + ["g{}".format(ord(c)) for c in chars]
    fb = FontBuilder(1000, isTTF=True)
    fb.setupGlyphOrder(names)
    fb.setupCharacterMap({ord(c): "g{}".format(ord(c)) for c in chars})
    fb.setupGlyf({n: square() for n in names})
    fb.setupHorizontalMetrics({n: (800, 100) for n in names})
    fb.setupHorizontalHeader(ascent=800, descent=-200)
    fb.setupNameTable({"familyName": family, "styleName": "Regular"})
    fb.setupOS2(sTypoAscender=800, usWinAscent=800, usWinDescent=200)
    fb.setupPost()
    fb.save(str(path))
    return str(path)


@pytest.fixture
def font_search(monkeypatch):
    """Run the font search over given files, leaving matplotlib's font
    list as it was."""
    from matplotlib import font_manager

    monkeypatch.setattr(fonts, "_FOUND", {})
    monkeypatch.setattr(font_manager.fontManager, "ttflist", list(font_manager.fontManager.ttflist))

    def use(known, fresh):
        monkeypatch.setattr(fonts, "_font_files", lambda: (known, fresh))

    return use


def _render_without_glyph_warnings(fig):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # "Glyph ... missing from font(s)"
        plots.to_png(fig)


INDUSTRIES = pd.DataFrame(
    {"P_1": np.linspace(-0.05, 0.06, 30), "P_5": 0.01},
    index=pd.Index(list(fonts.ENGLISH_INDUSTRY_NAMES)[:29] + ["Unknown"]),
)


def test_industry_names_without_a_cjk_font_are_english(font_search):
    font_search([], [])
    table = pd.concat(
        [INDUSTRIES, pd.DataFrame({"P_1": [0.02], "P_5": [0.0]}, index=["未分类行业"])]
    )
    labels, font = plots.industry_plot_labels(table.index)
    assert font is None
    assert labels[0] == "Banks" and labels[29] == "Unknown" and labels[30] == "#31"
    assert all(label.isascii() for label in labels)
    _render_without_glyph_warnings(plots.ic_industry(table))


def test_a_font_installed_after_matplotlibs_cache_is_found(font_search, tmp_path):
    from matplotlib import font_manager

    chars = sorted({c for name in INDUSTRIES.index if not name.isascii() for c in name})
    path = _font_with(tmp_path / "han.ttf", chars, "Tarnfold Test Han")
    font_search([], [path])  # on the system, not in the cache
    labels, font = plots.industry_plot_labels(INDUSTRIES.index)
    assert font == "Tarnfold Test Han" and labels == list(INDUSTRIES.index)
    assert path in [f.fname for f in font_manager.fontManager.ttflist]
    _render_without_glyph_warnings(plots.ic_industry(INDUSTRIES))
    # a font without every glyph is passed over
    font_search([], [_font_with(tmp_path / "half.ttf", chars[:3], "Half Han")])
    fonts._FOUND.clear()
    assert plots.industry_plot_labels(INDUSTRIES.index)[1] is None


def test_a_last_resort_font_draws_no_chinese():
    from matplotlib import font_manager

    last = [
        f.fname
        for f in font_manager.fontManager.ttflist
        if f.name.lower().startswith("last resort")
    ]
    if not last:
        pytest.skip("this matplotlib ships no last-resort font")
    assert fonts._family_with_glyphs(last[0], {"银"}) is None


# -- plots -----------------------------------------------------------------------


def _groups(growth, dates):
    """quantile_returns of groups q1..qk growing by the given daily factors."""
    idx = pd.MultiIndex.from_product(
        [["q{}".format(k + 1) for k in range(len(growth))], dates], names=["tag", "datetime"]
    )
    values = np.concatenate([np.cumprod(np.full(len(dates), g)) - 1 for g in growth])
    return pd.DataFrame({"P_1": values}, index=idx)


def test_wide_wealth_goes_to_a_log_scale_and_narrow_stays_linear():
    dates = pd.bdate_range("1990-01-01", periods=8000)
    wide = plots.group_returns(_groups([1.001, 1.0, 0.9999], dates))
    narrow = plots.group_returns(_groups([1.00005, 1.0, 0.99995], dates))
    assert wide.axes[0].get_yscale() == "log" and "log scale" in wide._suptitle.get_text()
    assert narrow.axes[0].get_yscale() == "linear"
    ticks = [t.get_text() for t in wide.axes[0].get_yticklabels() if t.get_text()]
    assert len(ticks) >= 3  # the axis is labelled, not bare


def test_titles_name_a_benchmark_only_when_there_is_one_and_no_step_twice():
    dates = pd.bdate_range("2023-01-02", periods=50)
    spread = pd.DataFrame({"P_1": np.linspace(0, 0.1, 50)}, index=dates)
    bench = pd.Series(np.linspace(0, 0.05, 50), index=dates, name="000300.XSHG")
    assert "benchmark" not in plots.long_short(spread, None, "quantile")._suptitle.get_text()
    assert "benchmark" in plots.long_short(spread, bench, "quantile")._suptitle.get_text()
    ic = pd.DataFrame({"P_1": np.random.default_rng(0).normal(0.03, 0.05, 50)}, index=dates)
    p = ic.abs() * 0 + 0.5
    assert plots.ic_series(ic, p, "ic")._suptitle.get_text() == "IC over time"
    assert plots.ic_series(ic, p, "ic_20d")._suptitle.get_text() == "IC over time (ic_20d)"


@pytest.mark.parametrize(
    "n, labels",
    [
        (120, ["daily", "20-date mean"]),
        (1500, ["monthly mean", "61-date mean"]),
        (8000, ["monthly mean", "244-date mean"]),
    ],
)
def test_ic_over_time_draws_by_the_length_of_the_history(n, labels):
    dates = pd.bdate_range("1990-01-01", periods=n)
    ic = pd.DataFrame({"P_1": np.random.default_rng(1).normal(0.03, 0.05, n)}, index=dates)
    fig = plots.ic_series(ic, ic * 0 + 0.5)
    assert sorted(t.get_text() for t in fig.axes[0].get_legend().get_texts()) == sorted(labels)


def test_the_decay_legend_covers_no_bar():
    lags = np.arange(10)
    table = pd.DataFrame(
        {
            "P_1": 0.05 - 0.001 * lags,
            "P_5": 0.06 - 0.001 * lags,
            "P_20": 0.055 - 0.002 * lags,
            "dates P_1": 10,
            "dates P_5": 10,
            "dates P_20": 10,
        },
        index=pd.Index(lags, name="decay"),
    )
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    fig = plots.ic_decay(table)
    renderer = FigureCanvasAgg(fig).get_renderer()
    ax = fig.axes[0]
    legend = ax.get_legend().get_window_extent(renderer)
    assert all(not legend.overlaps(bar.get_window_extent(renderer)) for bar in ax.patches)


# -- the report and the one-call results ---------------------------------------


def test_report_lines_and_the_factor_figure_once(tmp_path):
    from tarnfold.reporting import render

    rng = np.random.default_rng(5)
    dates = pd.bdate_range("2022-01-03", periods=60)
    ids = ["{:06d}.XSHE".format(k) for k in range(30)]
    factor = pd.DataFrame(rng.normal(size=(60, 30)), index=dates, columns=ids)
    returns = pd.DataFrame(rng.normal(0, 0.02, (60, 30)), index=dates, columns=ids)
    steps = bench_steps(
        preprocess=("winsorize", "normalize"), industry=None, benchmark=None, max_decay=3
    )
    results = assay(factor, returns, periods=(1, 5), steps=steps, factor_name="noise")
    html = render({"noise": results})
    line = re.sub(r"<[^>]+>", "", re.search(r"Steps: .*?\.\s", html, re.S).group(0))
    assert "winsorize (mad); normalize (z-score per date); ic: rank IC, decay 3 lags" in line
    assert "winsorize winsorize" not in line and "None" not in line
    assert html.count('alt="factor rank autocorrelation"') == 1
    assert 'alt="long-short"' in html and "against the benchmark" not in html
    assert "negative annualised return" in html and "turnover per rebalance" in html.lower()
    # in a notebook: every step's figures and the factor's, each once
    rich = results._repr_html_()
    own = [set(r.plot()) - {"factor rank autocorrelation"} for r in results.values()]
    assert rich.count("data:image/png;base64,") == sum(len(figs) for figs in own) + 1
    assert all(len(figs) for figs in own[:3])
    assert results.summary_text().count("factor rank autocorrelation") == 1
