"""Numbers the Python layer shares: one place each."""

__version__ = "0.1.0"

# holding periods (trading days) of a test when the caller names none
DEFAULT_PERIODS = (1, 5, 20)

# trading days a year on the Shanghai and Shenzhen exchanges: annualisation
# of every summary figure, and years of history counted in trading days
TRADING_DAYS_PER_YEAR = 244

# the bench's steps by name, in the order they run
PREPROCESS_STEPS = ("winsorize", "normalize", "neutralize")
ANALYSER_STEPS = ("ic", "quantile", "factor_return", "fama_macbeth", "group_views", "event_study")

# size buckets of the group views (capitalisation terciles) and the weights
# of their groups
SIZE_BUCKETS = 3
GROUP_WEIGHTINGS = ("equal", "cap")

# the industry classifications the store serves
INDUSTRY_SOURCES = ("citics_2019", "sws")

# the sample store's index, the benchmark when none is named
DEFAULT_BENCHMARK = "000300.XSHG"
