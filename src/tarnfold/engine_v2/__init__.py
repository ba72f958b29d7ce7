"""The factor execution engine: ``eval_core`` (compiled) and its execution
context."""
