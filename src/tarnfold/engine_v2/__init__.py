"""The factor execution engine: ``eval_core`` (compiled), its execution
context, and ``execute_factors`` for many factors at once
(``tarnfold.engine_v2.many``)."""

__all__ = ["execute_factors"]


def __getattr__(name):
    # imported on first use: eval_core imports the factor modules, which
    # import this package
    if name == "execute_factors":
        from tarnfold.engine_v2.many import execute_factors

        return execute_factors
    raise AttributeError("module {!r} has no attribute {!r}".format(__name__, name))
