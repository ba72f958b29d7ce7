"""Decorators of the market-data client."""
import functools
import threading
import time


def ttl_cache(ttl):
    """Cache a function's results per argument set for ``ttl`` seconds."""

    def decorator(func):
        store = {}
        lock = threading.Lock()

        @functools.wraps(func)
        def wrapper(*args, **kwargs):
            key = (args, tuple(sorted(kwargs.items())))
            now = time.monotonic()
            with lock:
                hit = store.get(key)
            if hit is not None and now - hit[0] < ttl:
                return hit[1]
            value = func(*args, **kwargs)
            with lock:
                store[key] = (now, value)
            return value

        def cache_clear():
            with lock:
                store.clear()

        wrapper.cache_clear = cache_clear
        wrapper.ttl = ttl
        return wrapper

    return decorator
