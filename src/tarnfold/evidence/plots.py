"""Figures of the evidence results and of a batch's multiple testing,
built like the bench's figures (``tarnfold.analysis.plots``): without
pyplot unless asked, so they render without a display."""

import numpy as np

from tarnfold.analysis.plots import _title, new_figure


def cumulative_premium(premium, name="", pyplot=False):
    """The running sum of the Fama-MacBeth premium per period (a premium
    that earns steadily climbs steadily)."""
    fig = new_figure(pyplot)
    ax = fig.add_subplot(1, 1, 1)
    for field in premium.columns:
        s = premium[field].astype(float).fillna(0.0).cumsum()
        ax.plot(s.index, s.values, lw=1.2, label=field)
    ax.axhline(0, color="black", lw=0.5)
    ax.set_ylabel("sum of daily premia")
    ax.legend(fontsize=7)
    return _title(fig, "{} cumulative Fama-MacBeth premium".format(name).strip())


def double_sort_heatmap(table, name="", pyplot=False):
    """One heatmap per period: size buckets (rows, s1 the smallest) x factor
    groups (q1 the best), the mean forward return in basis points."""
    fields = list(table.index.get_level_values("period").unique())
    fig = new_figure(pyplot, figsize=(3.6 * max(len(fields), 1), 3.0))
    for k, field in enumerate(fields):
        part = table.xs(field, level="period")
        groups = [c for c in part.columns if c != "top-bottom"]
        values = part[groups].to_numpy(dtype=float) * 1e4
        ax = fig.add_subplot(1, len(fields), k + 1)
        finite = values[np.isfinite(values)]
        bound = float(np.abs(finite).max()) if finite.size else 1.0
        image = ax.imshow(values, cmap="RdYlGn", vmin=-bound, vmax=bound, aspect="auto")
        ax.set_xticks(range(len(groups)))
        ax.set_xticklabels(groups, fontsize=7)
        ax.set_yticks(range(len(part.index)))
        ax.set_yticklabels(list(part.index), fontsize=7)
        for i in range(values.shape[0]):
            for j in range(values.shape[1]):
                if np.isfinite(values[i, j]):
                    ax.text(
                        j, i, "{:.0f}".format(values[i, j]), ha="center", va="center", fontsize=6
                    )
        ax.set_title("{} (bp)".format(field), fontsize=8)
        fig.colorbar(image, ax=ax, shrink=0.8)
    return _title(fig, "{} double sort: size bucket x factor group".format(name).strip())


def bucket_spreads(table, name="", pyplot=False):
    """The top-minus-bottom forward return within each bucket, per view,
    for the first period; buckets carrying the effect in a darker colour."""
    field = table.index.get_level_values("period")[0]
    part = table.xs(field, level="period")
    views = list(part.index.get_level_values("view").unique())
    fig = new_figure(pyplot, figsize=(8, 2.4 * max(len(views), 1)))
    for k, view in enumerate(views):
        v = part.xs(view, level="view")
        ax = fig.add_subplot(len(views), 1, k + 1)
        colours = ["#2e7d32" if c else "#a5c8a7" for c in v["carries effect"]]
        ax.bar(range(len(v)), v["top-bottom"].to_numpy(dtype=float) * 1e4, color=colours)
        ax.set_xticks(range(len(v)))
        ax.set_xticklabels(_ascii_or_numbers(v.index), fontsize=6, rotation=90)
        ax.axhline(0, color="black", lw=0.5)
        ax.set_ylabel("{} (bp)".format(view))
    return _title(
        fig,
        "{} top-bottom within buckets, {}, in the table's order (dark: NW t >= 1.96)".format(
            name, field
        ).strip(),
    )


def _ascii_or_numbers(labels):
    labels = [str(x) for x in labels]
    if all(x.isascii() for x in labels):
        return labels
    return [str(k + 1) for k in range(len(labels))]


def event_curve(event_returns, name="", pyplot=False):
    """Mean cumulative excess return by trading day around entries into the
    top and bottom groups, with the 95 % band."""
    fig = new_figure(pyplot)
    ax = fig.add_subplot(1, 1, 1)
    for side, colour in (("top", "#2e7d32"), ("bottom", "#c0392b")):
        part = event_returns.xs(side, level="side")
        x = part.index.to_numpy()
        ax.plot(
            x,
            part["excess"].to_numpy() * 1e4,
            color=colour,
            lw=1.3,
            label="entering {}".format(side),
        )
        ax.fill_between(
            x,
            part["excess low"].to_numpy() * 1e4,
            part["excess high"].to_numpy() * 1e4,
            color=colour,
            alpha=0.15,
        )
    ax.axvline(0, color="black", lw=0.5, ls=":")
    ax.axhline(0, color="black", lw=0.5)
    ax.set_xlabel("trading days from the entry date")
    ax.set_ylabel("cumulative excess return (bp)")
    ax.legend(fontsize=7)
    return _title(fig, "{} returns around entering the top / bottom group".format(name).strip())


def p_value_ladder(p_values, trials, alpha=0.05, title="", pyplot=False):
    """The sorted raw p-values of a batch against their rank, with the
    thresholds Holm (alpha / (m - i + 1)) and Benjamini-Hochberg
    (alpha i / m) put on them for m trials; a point under a line passes
    that procedure (Holm and BH also stop at the first failure / pass at
    the last)."""
    p = np.sort(np.asarray([v for v in p_values if np.isfinite(v)], dtype=float))
    m = max(int(trials), len(p), 1)
    rank = np.arange(1, len(p) + 1)
    fig = new_figure(pyplot, figsize=(6, 3.6))
    ax = fig.add_subplot(1, 1, 1)
    floor = 1e-12
    ax.scatter(rank, np.maximum(p, floor), s=10, color="#1f4e79", label="raw p-value", zorder=3)
    grid = np.arange(1, m + 1)
    ax.plot(grid, alpha * grid / m, color="#2e7d32", lw=1, label="BH: {} i / m".format(alpha))
    ax.plot(
        grid,
        alpha / (m - grid + 1),
        color="#c0392b",
        lw=1,
        label="Holm: {} / (m - i + 1)".format(alpha),
    )
    ax.set_yscale("log")
    ax.set_xlim(0.5, max(len(p), 1) + 0.5)
    ax.set_xlabel("rank i of the p-value (m = {} trials)".format(m))
    ax.set_ylabel("p-value")
    ax.legend(fontsize=7)
    return _title(fig, title or "p-value ladder")
