"""The factors ``tarnfold demo`` tests: trees it computes with the
execution engine from the store's bars, and the store's published
factors."""

from mivada.sample import PUBLISHED_FACTORS, SIGNAL_PREMIUM

from tarnfold.leaf import CLOSE, VOLUME
from tarnfold.operators import delay, ts_mean

DEMO_FACTORS = ("reversal_close_5d", "value_score", "noise")


def _reversal(days):
    return lambda: -(CLOSE / delay(CLOSE, days) - 1)


# name -> (description, builder returning the factor tree)
COMPUTED_FACTORS = {
    "reversal_close_5d": (
        "-(close / delay(close, 5) - 1): five-day reversal from close prices (a real signal)",
        _reversal(5),
    ),
    "reversal_close_20d": ("-(close / delay(close, 20) - 1): twenty-day reversal", _reversal(20)),
    "volume_trend": (
        "ts_mean(volume, 5) / ts_mean(volume, 20): carries no premium",
        lambda: ts_mean(VOLUME, 5) / ts_mean(VOLUME, 20),
    ),
}


def demo_factor_trees(names=DEMO_FACTORS):
    """name -> factor tree of the demo's factors (computed ones built, the
    store's published ones as leaves)."""
    from tarnfold.leaf import Factor

    return {
        name: COMPUTED_FACTORS[name][1]() if name in COMPUTED_FACTORS else Factor(name)
        for name in names
    }


def factor_help():
    lines = []
    for name in PUBLISHED_FACTORS:
        if name in SIGNAL_PREMIUM:
            what = "carries a next-day premium (a real signal)"
        elif name == "noise":
            what = "carries no signal"
        else:
            what = "a size measure"
        lines.append("  {:<19} {}".format(name, what))
    computed = ["  {:<19} {}".format(name, text) for name, (text, _) in COMPUTED_FACTORS.items()]
    return (
        "factors of the sample store (read with execute_factor):\n"
        + "\n".join(lines)
        + "\n\nfactors the demo computes with execute_factor from the store's bars:\n"
        + "\n".join(computed)
    )
