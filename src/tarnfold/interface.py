"""Factor trees: the base class, leaf factors and arithmetic on factors.

A factor is a tree built from leaves (bar fields and published factors of
the market-data store, see ``tarnfold.leaf``), numbers, operators
(``tarnfold.operators``), cross-sectional factors
(``tarnfold.cross_sectional``) and factors pinned to one instrument
(``tarnfold.fix``).  Building a tree computes nothing;
``tarnfold.engine_v2.eval_core.execute_factor`` evaluates it.

Every factor carries:

``shift``
    its look-back in valid trading days: the largest look-back along any
    path from the root to a leaf.  A 20-day mean of a leaf has shift 19, a
    one-day delay shift 1, and ``ts_mean(delay(close, 1), 20)`` shift 20.
    The engine loads ``shift`` trading days of history before the requested
    start and leaves an instrument all-NaN when it has no more than
    ``shift`` valid days in the loaded range.
``expr``
    what the engine evaluates per instrument: a number, a leaf,
    cross-sectional or fixed factor (served by the execution context), or a
    pair ``(func, args)`` whose ``args`` are expressions.  ``func`` is
    called with the evaluated arguments, which are numbers or
    one-dimensional float arrays holding the values of the instrument's
    most recent valid days (right-aligned).  Operators of this package put a
    ``Kernel`` in ``func``: the engine recognises it and runs the whole
    expression in C++; any other callable is called as given.
``dependencies``
    the cross-sectional and fixed factors inside ``expr``; the engine
    computes each once, on whole tables, before the per-instrument loop.

Arithmetic: ``+ - * / ** % //`` (both ways round), unary ``-`` and ``abs``,
the comparisons ``< <= > >=`` and the logical ``& | ~`` build new
factors.  A comparison or
logical operation gives 1.0 where it holds, 0.0 where it does not and NaN
where an operand is NaN (any non-zero number counts as true).
``==`` and ``!=`` keep their usual Python meaning (structural equality of
two trees, so factors can be dictionary keys and members of sets); use
``a.eq(b)`` and ``a.ne(b)`` for element-wise equality.  Binary operations on
two series of different lengths align them on the most recent valid day and
keep the days both cover.  Division follows IEEE rules (x/0 is +-inf, 0/0
NaN).
"""
import numbers

__all__ = ["AbstractFactor", "LeafFactor", "CombinedFactor", "Kernel",
           "as_expr", "check_factor"]


class Kernel:
    """An operator the engine runs in C++: its name in the engine's table
    of operations and its numeric parameters.

    Calling a kernel evaluates it on numbers and one-dimensional arrays
    (right-aligned series), exactly as the engine does inside its loop.
    """
    __slots__ = ("op", "params")

    def __init__(self, op, params=()):
        self.op = str(op)
        self.params = tuple(float(p) for p in params)

    def __call__(self, *args):
        from tarnfold.engine_v2 import eval_core

        return eval_core._apply_kernel(self.op, self.params, args)

    def __eq__(self, other):
        return (isinstance(other, Kernel) and self.op == other.op
                and self.params == other.params)

    def __hash__(self):
        return hash(("Kernel", self.op, self.params))

    def __repr__(self):
        if self.params:
            return "{}({})".format(self.op, ", ".join(
                "{:g}".format(p) for p in self.params))
        return self.op

    # Read by the engine when it compiles an expression.
    @property
    def _tarnfold_op(self):
        return self.op

    @property
    def _tarnfold_params(self):
        return self.params


def check_factor(value, operator, argument):
    """Raise TypeError naming ``operator`` and ``argument`` unless ``value``
    is a factor."""
    if not isinstance(value, AbstractFactor):
        raise TypeError("{}: argument {} must be a factor, got {!r}".format(
            operator, argument, value))
    return value


def _check_operand(value, operator):
    if isinstance(value, AbstractFactor):
        return value
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        return float(value)
    raise TypeError("{}: operands must be factors or real numbers, got {!r}"
                    .format(operator, value))


def as_expr(value):
    """The expression a parent node stores for a child: the child's own
    object for leaf, cross-sectional and fixed factors, its ``expr`` for a
    combined factor, the number itself for a number."""
    if isinstance(value, AbstractFactor):
        return value._as_child()
    return value


class AbstractFactor:
    """Base of every factor.  Subclasses set ``shift`` and define ``expr``
    and ``dependencies``."""
    shift = 0

    @property
    def expr(self):
        raise NotImplementedError

    @property
    def dependencies(self):
        return []

    def _as_child(self):
        return self

    def _key(self):
        """A hashable value identifying the tree (structural identity)."""
        raise NotImplementedError

    def _children(self):
        """Factors directly below this one (for tree walks)."""
        return ()

    def __eq__(self, other):
        return type(self) is type(other) and self._key() == other._key()

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        # Trees are not changed once built, so the hash is computed once.
        h = self.__dict__.get("_hash")
        if h is None:
            h = self.__dict__["_hash"] = hash(self._key())
        return h

    # -- arithmetic ------------------------------------------------------
    def _binary(self, op, other, reverse=False):
        other = _check_operand(other, op)
        args = (other, self) if reverse else (self, other)
        return CombinedFactor(Kernel(op), args)

    def __add__(self, other):
        return self._binary("add", other)

    def __radd__(self, other):
        return self._binary("add", other, True)

    def __sub__(self, other):
        return self._binary("sub", other)

    def __rsub__(self, other):
        return self._binary("sub", other, True)

    def __mul__(self, other):
        return self._binary("mul", other)

    def __rmul__(self, other):
        return self._binary("mul", other, True)

    def __truediv__(self, other):
        return self._binary("div", other)

    def __rtruediv__(self, other):
        return self._binary("div", other, True)

    def __floordiv__(self, other):
        return self._binary("floordiv", other)

    def __rfloordiv__(self, other):
        return self._binary("floordiv", other, True)

    def __mod__(self, other):
        return self._binary("mod", other)

    def __rmod__(self, other):
        return self._binary("mod", other, True)

    def __pow__(self, other):
        return self._binary("pow", other)

    def __rpow__(self, other):
        return self._binary("pow", other, True)

    def __lt__(self, other):
        return self._binary("lt", other)

    def __le__(self, other):
        return self._binary("le", other)

    def __gt__(self, other):
        return self._binary("gt", other)

    def __ge__(self, other):
        return self._binary("ge", other)

    def eq(self, other):
        """Element-wise ``self == other`` (1.0, 0.0, NaN where either is
        NaN)."""
        return self._binary("eq", other)

    def ne(self, other):
        """Element-wise ``self != other`` (1.0, 0.0, NaN where either is
        NaN)."""
        return self._binary("ne", other)

    def __and__(self, other):
        return self._binary("and", other)

    def __rand__(self, other):
        return self._binary("and", other, True)

    def __or__(self, other):
        return self._binary("or", other)

    def __ror__(self, other):
        return self._binary("or", other, True)

    def __invert__(self):
        return CombinedFactor(Kernel("not"), (self,))

    def __neg__(self):
        return CombinedFactor(Kernel("neg"), (self,))

    def __pos__(self):
        return self

    def __abs__(self):
        return CombinedFactor(Kernel("abs"), (self,))

    def __bool__(self):
        raise TypeError("the truth value of a factor is undefined; use & | "
                        "or where() to combine conditions")


class LeafFactor(AbstractFactor):
    """A factor whose values the execution context serves directly.  Its
    ``expr`` is the leaf itself and its ``shift`` is 0."""

    @property
    def expr(self):
        return self


class CombinedFactor(AbstractFactor):
    """``func`` applied to factors and numbers: ``expr`` is
    ``(func, (child expressions...))``.

    ``lookback`` is the number of extra valid days the operation itself
    looks back (``d - 1`` for a ``d``-day window, ``d`` for a ``d``-day
    delay); ``dma`` marks operations needing the long history of an
    exponential average.
    """

    def __init__(self, func, args, lookback=0, dma=False):
        if not callable(func):
            raise TypeError("func must be callable, got {!r}".format(func))
        self.func = func
        self.args = tuple(args)
        for a in self.args:
            if not isinstance(a, AbstractFactor) and not (
                    isinstance(a, numbers.Real) and not isinstance(a, bool)):
                raise TypeError("{!r}: arguments must be factors or real "
                                "numbers, got {!r}".format(func, a))
        self.lookback = int(lookback)
        self.dma = bool(dma)
        self.shift = self.lookback + max(
            [a.shift for a in self.args if isinstance(a, AbstractFactor)],
            default=0)
        self._expr = (func, tuple(as_expr(a) for a in self.args))
        deps = []
        for a in self.args:
            if isinstance(a, AbstractFactor):
                for d in a._dependency_nodes():
                    if d not in deps:
                        deps.append(d)
        self._deps = deps

    @property
    def expr(self):
        return self._expr

    @property
    def dependencies(self):
        return list(self._deps)

    def _as_child(self):
        return self._expr

    def _children(self):
        return tuple(a for a in self.args if isinstance(a, AbstractFactor))

    def _key(self):
        return ("CombinedFactor", self.func, self.lookback, self.dma,
                tuple(a._key() if isinstance(a, AbstractFactor) else a
                      for a in self.args))

    def __repr__(self):
        return "{!r}({})".format(self.func, ", ".join(repr(a) for a in self.args))


def _dependency_nodes(self):
    """The dependency factors this factor contributes to a parent."""
    from tarnfold.cross_sectional import CrossSectionalFactor
    from tarnfold.fix import FixedFactor

    if isinstance(self, (CrossSectionalFactor, FixedFactor)):
        return [self]
    if isinstance(self, CombinedFactor):
        return self._deps
    return []


AbstractFactor._dependency_nodes = _dependency_nodes
