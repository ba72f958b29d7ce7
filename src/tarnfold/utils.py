"""Walks over factor trees used by the execution engine.

The walks follow the factor objects (``sub_factors`` of cross-sectional
factors, ``factor`` of fixed factors) and the expressions (``(func, args)``
pairs), so they also work for factor classes of one's own that only
provide ``expr``.
"""

import numbers

from tarnfold.cross_sectional import CrossSectionalFactor
from tarnfold.fix import FixedFactor
from tarnfold.interface import CombinedFactor, Kernel, LeafFactor

__all__ = [
    "get_leaves",
    "use_dma",
    "is_cross_sectional",
    "get_fixed_order_book_ids",
    "walk",
    "dependency_graph",
    "DMA_WARMUP_DAYS",
]

# Operators whose value depends on the whole history (exponential
# averages): they need extra history to forget their seed.
DMA_OPS = frozenset({"ema", "dma"})

# The extra valid days of history loaded for a tree holding an exponential
# average (about half a year), on top of its look-back: the seed then
# weighs (1 - alpha) ** 126 in the first requested value.
DMA_WARMUP_DAYS = 126


def walk(factor):
    """Every factor object and expression pair in the tree, parents first,
    each object once."""
    seen = set()
    stack = [factor]
    while stack:
        node = stack.pop()
        if isinstance(node, numbers.Number) or node is None:
            continue
        if id(node) in seen:
            continue
        seen.add(id(node))
        yield node
        if isinstance(node, CrossSectionalFactor):
            stack.extend(reversed(node.sub_factors))
        elif isinstance(node, FixedFactor):
            stack.append(node.factor)
        elif isinstance(node, LeafFactor):
            continue
        elif isinstance(node, CombinedFactor):
            stack.extend(reversed(node.args))
        elif isinstance(node, tuple) and len(node) == 2:
            args = node[1]
            if isinstance(args, (tuple, list)):
                stack.extend(reversed(args))
        elif hasattr(node, "expr"):
            stack.append(node.expr)


def get_leaves(factor):
    """The distinct leaf factors of the tree, in order of first
    appearance."""
    leaves = []
    for node in walk(factor):
        if isinstance(node, LeafFactor) and node not in leaves:
            leaves.append(node)
    return leaves


def use_dma(factor):
    """True when the tree holds an exponential average, which needs
    ``DMA_WARMUP_DAYS`` extra days of history."""
    for node in walk(factor):
        if isinstance(node, CombinedFactor) and node.dma:
            return True
        if (
            isinstance(node, tuple)
            and len(node) == 2
            and isinstance(node[0], Kernel)
            and node[0].op in DMA_OPS
        ):
            return True
    return False


def is_cross_sectional(factor):
    """Whether ``factor`` is a cross-sectional factor."""
    return isinstance(factor, CrossSectionalFactor)


def get_fixed_order_book_ids(factor, order_book_ids):
    """Instruments pinned by fixed factors of the tree that are not in
    ``order_book_ids``, without repeats."""
    have = set(order_book_ids)
    out = []
    for node in walk(factor):
        if isinstance(node, FixedFactor) and node.order_book_id not in have:
            have.add(node.order_book_id)
            out.append(node.order_book_id)
    return out


def _graph_children(node):
    """What a cross-sectional or fixed factor reads: [(child, read per
    instrument)], and per sub-factor the child whose table it takes (None
    for a sub-factor evaluated per instrument)."""
    if isinstance(node, CrossSectionalFactor):
        children, direct = [], []
        for sub in node.sub_factors:
            if isinstance(sub, CrossSectionalFactor):
                children.append((sub, False))
                direct.append(sub)
            else:
                children.extend((d, True) for d in sub.dependencies)
                direct.append(None)
        return children, direct
    inner = node.factor
    if isinstance(inner, CrossSectionalFactor):
        return [(inner, False)], [inner]
    return [(d, True) for d in inner.dependencies], [None]


def dependency_graph(factor):
    """The cross-sectional and fixed factors of a tree, as the engine
    computes them: each once (trees that are equal count once), children
    before parents, without recursion.

    A list of ``(node, is_dependency, inputs, children)``:
    ``is_dependency`` tells whether an expression reads the node per
    instrument (the engine hands its table to the context); ``inputs``
    gives, per sub-factor of a cross-sectional node (or for the factor a
    fixed node wraps), the position of the node whose table it takes, -1
    for one evaluated per instrument; ``children`` lists the positions of
    everything the node reads.  A cross-sectional or fixed ``factor`` is
    itself the last node (a fixed one a dependency of itself); otherwise
    the graph holds its dependencies.
    """
    boundary = (CrossSectionalFactor, FixedFactor)
    if isinstance(factor, boundary):
        # a fixed factor's expression is itself: computing it reads it
        roots = [(factor, isinstance(factor, FixedFactor))]
    else:
        roots = [(d, True) for d in factor.dependencies]
    entries, index, kids = [], {}, {}
    stack = [(node, via, False) for node, via in reversed(roots)]
    while stack:
        node, via, ready = stack.pop()
        if not isinstance(node, boundary):
            continue
        at = index.get(node)
        if at is not None and not ready:
            if at >= 0 and via:
                entries[at][1] = True
            continue
        if ready:
            children, direct = kids.pop(id(node))
            index[node] = len(entries)
            entries.append(
                [
                    node,
                    via,
                    [-1 if d is None else index[d] for d in direct],
                    sorted({index[c] for c, _ in children if isinstance(c, boundary)}),
                ]
            )
            continue
        index[node] = -1
        kids[id(node)] = _graph_children(node)
        stack.append((node, via, True))
        stack.extend((c, v, False) for c, v in reversed(kids[id(node)][0]))
    return [tuple(e) for e in entries]
