"""Named internal queries of the market-data client.

``get_client().execute(name)`` answers the record queries that reference
data builders use:

* "__internal__zx2019_industry": list of (first_industry_name,
  order_book_id, start_date) for the "citics_2019" classification;
* "__internal__shenwan_industry": list of (index_name, order_book_id,
  start_date, version) for the "sws" classification, every published
  version included (callers pick the version in force per record).

``start_date`` values are ``datetime.datetime`` at midnight.
"""

from mivada.api import current_store
from mivada.errors import argument_error

_QUERIES = {
    "__internal__zx2019_industry": (
        "SELECT industry_name AS first_industry_name, order_book_id, "
        "start_date::TIMESTAMP AS start_date FROM industry_records "
        "WHERE source = 'citics_2019' ORDER BY order_book_id, start_date"
    ),
    "__internal__shenwan_industry": (
        "SELECT industry_name AS index_name, order_book_id, "
        "start_date::TIMESTAMP AS start_date, version FROM industry_records "
        "WHERE source = 'sws' ORDER BY order_book_id, start_date, version"
    ),
}


class Client:
    """Runs named queries against the current store."""

    def execute(self, name, *args, **kwargs):
        if args or kwargs:
            raise argument_error(
                name, "no arguments", "{} argument(s)".format(len(args) + len(kwargs))
            )
        if not isinstance(name, str) or name not in _QUERIES:
            raise argument_error("name", "one of {}".format(sorted(_QUERIES)), repr(name))
        return current_store().fetchall(_QUERIES[name])


_client = Client()


def get_client():
    """The client of the current store."""
    return _client
