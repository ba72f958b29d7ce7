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

__all__ = ["get_leaves", "use_dma", "is_cross_sectional",
           "get_fixed_order_book_ids", "walk"]

# Operators whose value depends on the whole history (exponential
# averages): they need 126 extra days of history to forget their seed.
DMA_OPS = frozenset({"ema", "dma"})


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
    """True when the tree holds an exponential average, which needs 126
    extra days of history."""
    for node in walk(factor):
        if isinstance(node, CombinedFactor) and node.dma:
            return True
        if isinstance(node, tuple) and len(node) == 2 and \
                isinstance(node[0], Kernel) and node[0].op in DMA_OPS:
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
