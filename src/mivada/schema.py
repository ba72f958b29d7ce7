"""Layout of a mivada store (a DuckDB database file).

Bump ``SCHEMA_VERSION`` whenever a table or a column changes meaning; a store
written under another version is refused at open time instead of being read
with the wrong assumptions.
"""

SCHEMA_VERSION = 1

INSTRUMENT_TYPES = ("CS", "INDX")
INDUSTRY_SOURCES = ("citics_2019", "sws")

# Fixed tables.  Style exposures are created separately because their factor
# columns are whatever the data provides (see ``style_exposures_ddl``).
TABLES_DDL = {
    "meta": """
        CREATE TABLE meta (
            key VARCHAR PRIMARY KEY,
            value VARCHAR NOT NULL
        )""",
    "trading_calendar": """
        CREATE TABLE trading_calendar (
            date DATE PRIMARY KEY
        )""",
    "instruments": """
        CREATE TABLE instruments (
            order_book_id VARCHAR PRIMARY KEY,
            symbol VARCHAR NOT NULL,
            type VARCHAR NOT NULL,
            exchange VARCHAR NOT NULL,
            listed_date DATE NOT NULL,
            de_listed_date DATE
        )""",
    "daily_bars": """
        CREATE TABLE daily_bars (
            order_book_id VARCHAR NOT NULL,
            date DATE NOT NULL,
            open DOUBLE,
            high DOUBLE,
            low DOUBLE,
            close DOUBLE NOT NULL,
            prev_close DOUBLE,
            volume DOUBLE,
            total_turnover DOUBLE
        )""",
    "minute_bars": """
        CREATE TABLE minute_bars (
            order_book_id VARCHAR NOT NULL,
            datetime TIMESTAMP NOT NULL,
            open DOUBLE,
            high DOUBLE,
            low DOUBLE,
            close DOUBLE NOT NULL,
            volume DOUBLE,
            total_turnover DOUBLE
        )""",
    "industry_records": """
        CREATE TABLE industry_records (
            source VARCHAR NOT NULL,
            order_book_id VARCHAR NOT NULL,
            start_date DATE NOT NULL,
            industry_name VARCHAR NOT NULL,
            version INTEGER
        )""",
    "index_members": """
        CREATE TABLE index_members (
            index_id VARCHAR NOT NULL,
            order_book_id VARCHAR NOT NULL,
            in_date DATE NOT NULL,
            out_date DATE
        )""",
    "factor_values": """
        CREATE TABLE factor_values (
            order_book_id VARCHAR NOT NULL,
            date DATE NOT NULL,
            factor VARCHAR NOT NULL,
            value DOUBLE
        )""",
}

# What the trading rules read beyond the bars.  A store may lack these
# tables (stores made before they existed): the rules that need them say
# so, and an import that brings their data creates them.
OPTIONAL_TABLES_DDL = {
    "price_limits": """
        CREATE TABLE price_limits (
            order_book_id VARCHAR NOT NULL,
            date DATE NOT NULL,
            limit_up DOUBLE,
            limit_down DOUBLE
        )""",
    "board_records": """
        CREATE TABLE board_records (
            order_book_id VARCHAR NOT NULL,
            start_date DATE NOT NULL,
            board VARCHAR NOT NULL
        )""",
    "st_records": """
        CREATE TABLE st_records (
            order_book_id VARCHAR NOT NULL,
            start_date DATE NOT NULL,
            end_date DATE
        )""",
}

STYLE_TABLE = "style_exposures"
REQUIRED_TABLES = tuple(TABLES_DDL) + (STYLE_TABLE,)

DAILY_FIELDS = ("open", "high", "low", "close", "prev_close", "volume", "total_turnover")
MINUTE_FIELDS = ("open", "high", "low", "close", "volume", "total_turnover")


def style_exposures_ddl(factors):
    cols = "".join(",\n            {} DOUBLE".format(quote_ident(f)) for f in factors)
    return """
        CREATE TABLE style_exposures (
            order_book_id VARCHAR NOT NULL,
            date DATE NOT NULL{}
        )""".format(cols)


def quote_ident(name):
    return '"' + str(name).replace('"', '""') + '"'


def create_schema(con, style_factors=()):
    for ddl in list(TABLES_DDL.values()) + list(OPTIONAL_TABLES_DDL.values()):
        con.execute(ddl)
    con.execute(style_exposures_ddl(style_factors))
    con.execute("INSERT INTO meta VALUES ('schema_version', ?)", [str(SCHEMA_VERSION)])
