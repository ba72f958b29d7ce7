"""tarnfold: stock-selection factor research with a C++ computing core."""

__version__ = "0.1.0"
