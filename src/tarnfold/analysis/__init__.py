"""Factor test bench: preprocessing, IC, quantile and factor-return analysis."""
