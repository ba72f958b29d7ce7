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
    The engine loads ``shift`` valid days of each instrument's history
    before the requested start (searching at most 250 trading days beyond
    ``shift`` trading days for a suspended one, see
    ``tarnfold.engine_v2.exec_context.lookback_start``) and leaves an
    instrument all-NaN when it has no more than ``shift`` valid days in the
    loaded range.
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

Trees of any depth and size are built, compared, hashed, printed, pickled
and evaluated without recursion (a chain of tens of thousands of nodes is
fine; Python's recursion limit only matters inside classes of one's own).
A pickled tree keeps its shared parts shared, so a batch sends any tree to
its workers.
"""

import numbers

from tarnfold.engine_v2 import _operators

__all__ = [
    "AbstractFactor",
    "LeafFactor",
    "CombinedFactor",
    "Kernel",
    "as_expr",
    "check_factor",
    "describe",
]


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
        return _operators.apply_kernel(self.op, self.params, args)

    def __eq__(self, other):
        return isinstance(other, Kernel) and self.op == other.op and self.params == other.params

    def __hash__(self):
        return hash(("Kernel", self.op, self.params))

    def __repr__(self):
        if self.params:
            return "{}({})".format(self.op, ", ".join("{:g}".format(p) for p in self.params))
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
        raise TypeError(
            "{}: argument {} must be a factor, got {!r}".format(operator, argument, value)
        )
    return value


def _check_operand(value, operator):
    if isinstance(value, AbstractFactor):
        return value
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        return float(value)
    raise TypeError(
        "{}: operands must be factors or real numbers, got {!r}".format(operator, value)
    )


def as_expr(value):
    """The expression a parent node stores for a child: the child's own
    object for leaf, cross-sectional and fixed factors, its ``expr`` for a
    combined factor, the number itself for a number."""
    if isinstance(value, AbstractFactor):
        return value._as_child()
    return value


class AbstractFactor:
    """Base of every factor.  Subclasses set ``shift`` and define ``expr``
    and ``dependencies``.

    Structural identity (``==``, ``hash``), ``repr`` and pickling walk the
    tree with an explicit stack through two methods a subclass may define:
    ``_children()`` (the factors directly below, in order) and
    ``_local_key()`` (what identifies the node apart from its children;
    by default ``_key()``).
    """

    shift = 0
    # attributes computed from the others, left out when pickling and
    # restored by _restore()
    _derived = ("_hash",)

    @property
    def expr(self):
        raise NotImplementedError

    @property
    def dependencies(self):
        return []

    def _as_child(self):
        return self

    def _dependency_nodes(self):
        """The dependency factors this factor contributes to a parent."""
        return []

    def _key(self):
        """A hashable value identifying the node apart from its children."""
        raise NotImplementedError

    def _local_key(self):
        return self._key()

    def _children(self):
        """Factors directly below this one (for tree walks)."""
        return ()

    def _repr_head(self):
        """(name, items) for ``name(item, ...)``, items being child factors
        or text; None when the class's own ``__repr__`` should be used."""
        return None

    def _restore(self):
        """Recompute the ``_derived`` attributes after unpickling."""

    def __eq__(self, other):
        if self is other:
            return True
        if type(self) is not type(other) or hash(self) != hash(other):
            return False
        return _same_tree(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        # Trees are not changed once built, so the hash is computed once.
        h = self.__dict__.get("_hash")
        if h is None:
            h = _tree_hash(self)
        return h

    def __repr__(self):
        return "".join(_repr_pieces(self))

    def __reduce_ex__(self, protocol):
        if _opaque(self, own_reduce=True):
            return object.__reduce_ex__(self, protocol)
        return _rebuild, (_flatten(self),)

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
        raise TypeError(
            "the truth value of a factor is undefined; use & | or where() to combine conditions"
        )


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

    _derived = ("_hash", "_expr", "_deps")

    def __init__(self, func, args, lookback=0, dma=False):
        if not callable(func):
            raise TypeError("func: expected a callable, got {!r}".format(func))
        self.func = func
        self.args = tuple(args)
        for a in self.args:
            if not isinstance(a, AbstractFactor) and not (
                isinstance(a, numbers.Real) and not isinstance(a, bool)
            ):
                raise TypeError(
                    "{!r}: arguments must be factors or real numbers, got {!r}".format(func, a)
                )
        self.lookback = int(lookback)
        self.dma = bool(dma)
        self.shift = self.lookback + max(
            [a.shift for a in self.args if isinstance(a, AbstractFactor)], default=0
        )
        self._restore()

    def _restore(self):
        self._expr = (self.func, tuple(as_expr(a) for a in self.args))
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

    def _dependency_nodes(self):
        return self._deps

    def _as_child(self):
        return self._expr

    def _children(self):
        return tuple(a for a in self.args if isinstance(a, AbstractFactor))

    def _local_key(self):
        return (
            "CombinedFactor",
            self.func,
            self.lookback,
            self.dma,
            tuple(None if isinstance(a, AbstractFactor) else a for a in self.args),
        )

    def _repr_head(self):
        return repr(self.func), [a if isinstance(a, AbstractFactor) else repr(a) for a in self.args]


def describe(factor, limit=200):
    """``repr(factor)`` cut to about ``limit`` characters, for messages (the
    full text of a large tree can be very long)."""
    if not isinstance(factor, AbstractFactor):
        text = repr(factor)
        return text if len(text) <= limit else text[:limit] + "..."
    out, size = [], 0
    for piece in _repr_pieces(factor):
        out.append(piece)
        size += len(piece)
        if size > limit:
            return "".join(out)[:limit] + "..."
    return "".join(out)


# -- tree walks with an explicit stack ----------------------------------------


def _own_repr(node):
    return type(node).__repr__ is AbstractFactor.__repr__


def _repr_pieces(root):
    """The text of ``repr(root)`` piece by piece, depth first."""
    stack = [root]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            yield item
            continue
        head = item._repr_head() if _own_repr(item) else None
        if head is None:
            yield repr(item) if not _own_repr(item) else object.__repr__(item)
            continue
        name, items = head
        yield name + "("
        parts = [")"]
        for k in range(len(items) - 1, -1, -1):
            parts.append(items[k])
            if k:
                parts.append(", ")
        stack.extend(parts)


def _tree_hash(root):
    """Hash every node below ``root`` that has none yet, children first."""
    stack = [(root, False)]
    while stack:
        node, ready = stack.pop()
        if "_hash" in node.__dict__:
            continue
        kids = node._children()
        if ready:
            node.__dict__["_hash"] = hash(
                (type(node), node._local_key(), tuple(hash(c) for c in kids))
            )
            continue
        stack.append((node, True))
        stack.extend(
            (c, False) for c in kids if isinstance(c, AbstractFactor) and "_hash" not in c.__dict__
        )
    return root.__dict__["_hash"]


def _same_tree(a, b):
    """Structural equality of two trees of the same type and hash."""
    stack = [(a, b)]
    seen = set()
    while stack:
        x, y = stack.pop()
        if x is y or (id(x), id(y)) in seen:
            continue
        seen.add((id(x), id(y)))
        if type(x) is not type(y) or hash(x) != hash(y) or x._local_key() != y._local_key():
            return False
        kx, ky = x._children(), y._children()
        if len(kx) != len(ky):
            return False
        stack.extend(zip(kx, ky))
    return True


class _Ref:
    """A factor's place in a flattened tree."""

    __slots__ = ("at",)

    def __init__(self, at):
        self.at = at

    def __reduce__(self):
        return _Ref, (self.at,)


def _opaque(node, own_reduce=False):
    """Nodes pickled as they are: classes with pickling of their own, or
    without an instance dictionary."""
    cls = type(node)
    return (
        (not own_reduce and cls.__reduce_ex__ is not AbstractFactor.__reduce_ex__)
        or cls.__reduce__ is not object.__reduce__
        or getattr(cls, "__getstate__", None) is not getattr(object, "__getstate__", None)
        or not hasattr(node, "__dict__")
    )


def _state_refs(value, index):
    """``value`` with the factors in it (one level into lists and tuples)
    replaced by their places."""
    if isinstance(value, AbstractFactor):
        return _Ref(index[id(value)])
    if type(value) in (list, tuple) and any(isinstance(v, AbstractFactor) for v in value):
        return type(value)(
            _Ref(index[id(v)]) if isinstance(v, AbstractFactor) else v for v in value
        )
    return value


def _flatten(root):
    """The tree as a list, children before parents, each object once:
    (class, state with the factors in it replaced by their places) per
    node, or (None, node) for a node pickled as it is."""
    order, index = [], {}
    stack = [(root, False)]
    while stack:
        node, ready = stack.pop()
        if id(node) in index:
            continue
        if ready or (node is not root and _opaque(node)):
            index[id(node)] = len(order)
            order.append(node)
            continue
        stack.append((node, True))
        skip = type(node)._derived
        for key, value in node.__dict__.items():
            if key in skip:
                continue
            values = value if type(value) in (list, tuple) else (value,)
            stack.extend(
                (v, False) for v in values if isinstance(v, AbstractFactor) and id(v) not in index
            )
    flat = []
    for node in order:
        if node is not root and _opaque(node):
            flat.append((None, node))
            continue
        skip = type(node)._derived
        flat.append(
            (
                type(node),
                {k: _state_refs(v, index) for k, v in node.__dict__.items() if k not in skip},
            )
        )
    return flat


def _rebuild(flat):
    """The tree ``_flatten`` gave, rebuilt children first."""
    built = []

    def resolve(value):
        if isinstance(value, _Ref):
            return built[value.at]
        if type(value) in (list, tuple) and any(isinstance(v, _Ref) for v in value):
            return type(value)(built[v.at] if isinstance(v, _Ref) else v for v in value)
        return value

    for cls, state in flat:
        if cls is None:
            built.append(state)
            continue
        node = cls.__new__(cls)
        node.__dict__.update({k: resolve(v) for k, v in state.items()})
        node._restore()
        built.append(node)
    return built[-1]
