"""Checks and waits shared by the end-to-end runs of the window and of the headless program."""
import time


class Timeout(AssertionError):
    pass


def wait_for(predicate, what, timeout=15.0, interval=0.05):
    """Polls predicate until it returns something true; returns that value. An exception in
    the predicate counts as not yet (an accessibility tree may change under our feet). `what`
    names what is waited for: a text, or a function that says it at the time out."""
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            value = predicate()
            if value:
                return value
        except Exception as e:
            last_error = e
        if time.monotonic() > deadline:
            raise Timeout("timed out waiting for %s%s" % (
                what() if callable(what) else what,
                " (last error: %s)" % last_error if last_error else ""))
        time.sleep(interval)


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def equal(actual, expected, what):
    check(actual == expected, "%s: expected %r, got %r" % (what, expected, actual))
