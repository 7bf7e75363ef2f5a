"""A call of kelvarodine.analyse lets other Python threads run, and Ctrl-C stops it."""

import _thread
import os
import signal
import threading
import time

import numpy as np
import pytest

import kelvarodine


def native_threads():
    return len(os.listdir("/proc/self/task"))


def test_other_python_threads_run_during_a_call():
    data = np.random.default_rng(3).standard_normal((8, 40000), dtype=np.float32)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        time.sleep(0.01)
        start = time.monotonic()
        kelvarodine.analyse(data, 256, 16, 8, threads=1)
        end = time.monotonic()
    finally:
        stop.set()
        t.join()
    if end - start < 0.05:
        pytest.skip("the call was too short to tell")
    # Holding the interpreter's lock, the call would leave the ticker a tick at most,
    # at its start.
    during = [x for x in ticks if start < x < end]
    assert len(during) >= 10


@pytest.fixture
def sigint_raises():
    """SIGINT raises KeyboardInterrupt even where the test was started with it ignored."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("how", ["interrupt_main", "kill"])
def test_ctrl_c_stops_a_long_call_within_a_second(sigint_raises, how):
    # About 75,000 windows: many seconds on any current machine.
    data = np.random.default_rng(4).standard_normal((8, 300000), dtype=np.float32)
    before = native_threads()
    sent = []

    def interrupt():
        time.sleep(0.3)
        sent.append(time.monotonic())
        if how == "kill":
            os.kill(os.getpid(), signal.SIGINT)
        else:
            _thread.interrupt_main()

    t = threading.Thread(target=interrupt)
    t.start()
    try:
        with pytest.raises(KeyboardInterrupt) as e:
            kelvarodine.analyse(data, 256, 4, 8, threads=0)
        stopped = time.monotonic()
    finally:
        t.join()
    # Raised by the call itself, not after it returned.
    assert e.traceback[-1].name == "analyse"
    assert stopped - sent[0] < 1.0
    assert native_threads() == before  # the analysis threads were joined

    # Nothing is left behind that a next call would trip over.
    r = kelvarodine.analyse(data[:3, :2000], 256, 64, 3)
    assert np.isfinite(r.measure).all()


def test_ctrl_c_stops_the_null_levels_between_windows(sigint_raises):
    # One window, then 99 simulated windows of the same shape: seconds. The call stops
    # between two simulated windows, so the time it may take is bounded by a few of
    # them; a simulated window (with its channels' simulation and fits) costs up to
    # five times a window of the record, measured here (builds without the wide
    # instruction sets, or with the sanitizers, take a second or more for one).
    data = np.random.default_rng(5).standard_normal((16, 8200), dtype=np.float32)
    started = time.monotonic()
    kelvarodine.analyse(data, 8192, 8191, 40, threads=0)
    window = time.monotonic() - started
    sent = []

    def interrupt():
        time.sleep(max(0.3, 3 * window))  # within the null levels' windows
        sent.append(time.monotonic())
        _thread.interrupt_main()

    t = threading.Thread(target=interrupt)
    t.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            kelvarodine.analyse(data, 8192, 8191, 40, threads=0, null=True)
        stopped = time.monotonic()
    finally:
        t.join()
    assert stopped - sent[0] < max(1.0, 0.5 + 20 * window)
