"""A well-behaved client kept busy while a test attacks the server: it runs
SET/GET round trips on its own connection and records every error or wrong
reply, so a test can show that the server kept serving it throughout."""

import contextlib
import threading
import time

from resp_client import Client

WAIT_S = 30  # bound on every wait for the server to catch up


def wait_until(condition, what):
    deadline = time.monotonic() + WAIT_S
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"gave up waiting: {what}")
        time.sleep(0.005)


class Checker(threading.Thread):
    """SET/GET round trips on one connection (authenticated first when a
    password is given) until stopped; records every error or wrong reply."""

    def __init__(self, port, password=None):
        super().__init__(daemon=True)
        self.client = Client(port)
        self.password = password
        self.stopping = threading.Event()
        self.errors = []
        self.rounds = 0
        self.progress = threading.Condition()

    def run(self):
        i = 0
        try:
            if self.password is not None and self.client.call("AUTH", self.password) != "OK":
                self.errors.append("AUTH failed")
                return
            while not self.stopping.is_set():
                key, value = f"checker:{i % 16}", f"value-{i}".encode()
                got = (self.client.call("SET", key, value), self.client.call("GET", key))
                if got != ("OK", value):
                    self.errors.append(f"round {i}: {got!r}")
                with self.progress:
                    self.rounds += 1
                    self.progress.notify_all()
                i += 1
        except Exception as e:  # noqa: BLE001 - every failure is a finding
            self.errors.append(repr(e))
        finally:
            self.client.close()
            with self.progress:
                self.progress.notify_all()

    def wait_rounds(self, more):
        """Waits until `more` further round trips have completed."""
        with self.progress:
            target = self.rounds + more
            return self.progress.wait_for(lambda: self.rounds >= target or self.errors, timeout=WAIT_S)


@contextlib.contextmanager
def checking(port, password=None):
    """Runs a checker for the block; it must still be served at the end and
    must never have seen an error."""
    checker = Checker(port, password)
    checker.start()
    assert checker.wait_rounds(1)
    try:
        yield checker
        assert checker.wait_rounds(3), "the checker stopped being served"
    finally:
        checker.stopping.set()
        checker.join(WAIT_S)
    assert checker.errors == []
