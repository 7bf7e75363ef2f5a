"""kelvarodine.analyse against the console program, on gaps, on the channels'
coherences, and on input it must refuse."""

import sys

import numpy as np
import pytest

import kelvarodine
from conftest import coupled_record, run_console, same_as_grid


def bits(a):
    return np.asarray(a, dtype=np.float32).view(np.uint32)


@pytest.fixture(scope="module")
def record():
    return coupled_record(4, 3000, seed=7)


# (console answers, the same as arguments of analyse): a power-of-two window; a window
# that is none, differencing, a shift the console clamps, and time marks of their own.
CASES = [
    ("0\n256\n64\n3\n0 1\n", dict(window=256, shift=64, order=3)),
    ("1\n200\n1000\n5\n1990.0 0.5\n",
     dict(window=200, shift=1000, order=5, diff=True, t0=1990.0, dt=0.5)),
]


@pytest.mark.parametrize("answers,arguments", CASES)
def test_grid_and_null_levels_are_the_consoles(console, tmp_path, record, answers, arguments):
    (header, nodes), (null_header, null_nodes) = run_console(console, tmp_path, record, answers,
                                                             "--null")
    r = kelvarodine.analyse(record, **arguments, null=True)

    assert r.measure.dtype == np.float32
    assert r.measure.shape == (header["ny"], header["nx"])
    assert same_as_grid(r.measure, nodes)
    assert np.isfinite(r.measure).sum() > 0.9 * r.measure.size
    assert (r.time[0], r.time[-1]) == header["x"]
    assert (r.frequency[0], r.frequency[-1]) == header["y"]
    assert np.all(np.diff(r.time) == r.settings["shift"] * r.settings["dt"])
    assert r.settings["shift"] == min(arguments["shift"], arguments["window"] - 1)
    assert same_as_grid(r.null_levels, null_nodes)
    assert null_header["y"] == header["y"]

    # Neither the number of threads nor the channels' coherences change a bit.
    one = kelvarodine.analyse(record, **arguments, threads=1, channels=True)
    assert np.array_equal(bits(one.measure), bits(r.measure))


def test_the_samples_are_taken_as_float32_whatever_their_type(record):
    as_float32 = kelvarodine.analyse(record, 256, 64, 3)
    for data in (record.astype(np.float64), record.astype(np.longdouble), record.tolist()):
        r = kelvarodine.analyse(data, 256, 64, 3)
        assert np.array_equal(bits(r.measure), bits(as_float32.measure))
    # Integers too, and a view that is not contiguous.
    counts = np.round(record * 8).astype(np.int16)
    wide = np.zeros((4, 6000), dtype=np.int64)
    wide[:, ::2] = counts
    assert np.array_equal(bits(kelvarodine.analyse(wide[:, ::2], 256, 64, 3).measure),
                          bits(kelvarodine.analyse(counts.astype(np.float32), 256, 64, 3).measure))


@pytest.mark.parametrize("diff", [False, True])
def test_a_gap_blanks_exactly_the_windows_that_hold_it(record, diff):
    window, shift = 256, 64
    clean = kelvarodine.analyse(record, window, shift, 3, diff=diff)
    gappy = record.copy()
    gaps = [(0, 1000), (2, 2499), (3, 0)]  # (channel, sample from 0)
    gappy[0, 1000] = np.nan
    gappy[2, 2499] = np.inf
    gappy[3, 0] = -np.inf
    r = kelvarodine.analyse(gappy, window, shift, 3, diff=diff, channels=True)

    starts = np.arange(r.measure.shape[1]) * shift
    holds = np.zeros(r.measure.shape[1], dtype=bool)
    for _, k in gaps:
        holds |= (starts <= k) & (k < starts + window)
    assert 0 < holds.sum() < len(holds) - 10
    assert np.isnan(r.measure[:, holds]).all()
    assert np.isnan(r.channel_coherences[:, :, holds]).all()
    assert np.array_equal(bits(r.measure[:, ~holds]), bits(clean.measure[:, ~holds]))

    # Masked samples are gaps just the same.
    mask = np.zeros(record.shape, dtype=bool)
    for j, k in gaps:
        mask[j, k] = True
    masked = kelvarodine.analyse(np.ma.array(record, mask=mask), window, shift, 3, diff=diff)
    assert np.array_equal(bits(masked.measure), bits(r.measure))


def test_the_measure_is_the_root_of_the_product_of_the_channels_coherences(record):
    plain = kelvarodine.analyse(record, 128, 100, 6)
    r = kelvarodine.analyse(record, 128, 100, 6, channels=True)
    assert np.array_equal(bits(r.measure), bits(plain.measure))
    c = r.channel_coherences
    assert c.shape == (4,) + r.measure.shape and c.dtype == np.float32
    product = np.sqrt(np.prod(c.astype(np.float64), axis=0))
    assert np.array_equal(np.isnan(product), np.isnan(r.measure))
    np.testing.assert_allclose(product, r.measure, rtol=2e-6, atol=1e-30)
    assert np.nanmin(c) >= 0 and np.nanmax(c) <= 1


def test_to_xarray_labels_every_array(record):
    xarray = pytest.importorskip("xarray")
    r = kelvarodine.analyse(record, 256, 64, 3, channels=True, null=True, t0=10.0, dt=0.25)
    ds = r.to_xarray()
    assert isinstance(ds, xarray.Dataset)
    assert ds.measure.dims == ("frequency", "time")
    assert ds.channel_coherences.dims == ("channel", "frequency", "time")
    assert ds.null_levels.dims == ("frequency", "level")
    assert list(ds.level.values) == [95, 99]
    assert np.array_equal(ds.time.values, r.time)
    assert np.array_equal(ds.frequency.values, r.frequency)
    assert ds.measure.sel(time=r.time[3]).values.tobytes() == r.measure[:, 3].tobytes()
    assert ds.attrs["window"] == 256 and ds.attrs["dt"] == 0.25 and ds.attrs["diff"] == 0
    plain = kelvarodine.analyse(record, 256, 64, 3).to_xarray()
    assert "channel_coherences" not in plain and "null_levels" not in plain


def test_to_xarray_without_xarray_says_what_is_missing(record, monkeypatch):
    r = kelvarodine.analyse(record[:, :600], 256, 64, 3)
    monkeypatch.setitem(sys.modules, "xarray", None)  # import xarray raises ImportError
    with pytest.raises(ImportError, match="to_xarray.. needs the xarray package"):
        r.to_xarray()


def test_a_shift_out_of_range_is_clamped_like_the_consoles(record):
    for shift, used in [(0, 1), (-5, 1), (255, 255), (256, 255), (2**40, 255)]:
        assert kelvarodine.analyse(record[:, :600], 256, shift, 3).settings["shift"] == used


REFUSED = [
    # (what is wrong, data or its change, arguments, exception, words of the message: the
    # first names the argument, and the setting of a SettingsError)
    ("one channel as 1-D", lambda x: x[0], {}, ValueError, ["data", "2-D"]),
    ("3-D", lambda x: x[None], {}, ValueError, ["data", "2-D"]),
    ("one channel", lambda x: x[:1], {}, kelvarodine.SettingsError, ["data", "2 channels"]),
    ("63 samples", lambda x: x[:, :63], {}, kelvarodine.SettingsError, ["data", "64 samples"]),
    ("samples x channels", lambda x: x.T, {}, kelvarodine.SettingsError, ["data", "64 samples", "data.T"]),
    ("ragged", lambda x: [list(x[0]), list(x[1][:-1])], {}, ValueError, ["data"]),
    ("complex", lambda x: x.astype(np.complex64), {}, TypeError, ["data", "real"]),
    ("object", lambda x: x.astype(object), {}, TypeError, ["data", "real"]),
    ("text", lambda x: x.astype(str), {}, TypeError, ["data", "real"]),
    ("booleans", lambda x: x > 0, {}, TypeError, ["data", "real"]),
    ("beyond float32", lambda x: np.where(np.arange(3000) == 5, 1e39, x), {}, ValueError,
     ["data", "sample 5", "float32"]),
    ("window 1", None, dict(window=1), kelvarodine.SettingsError, ["window", "from 2", "not 1"]),
    ("window beyond the record", None, dict(window=3001), kelvarodine.SettingsError,
     ["window", "to 3000"]),
    ("window beyond 32 bits", None, dict(window=2**40), kelvarodine.SettingsError,
     ["window", f"not {2**40}"]),
    ("window as bool", None, dict(window=True), TypeError, ["window", "bool"]),
    ("window as float", None, dict(window=256.0), TypeError, ["window", "integer"]),
    ("order 0", None, dict(order=0), kelvarodine.SettingsError, ["order", "at least 1"]),
    ("order too high", None, dict(order=64), kelvarodine.SettingsError, ["order", "at most"]),
    ("order beyond 32 bits", None, dict(order=-(2**70)), kelvarodine.SettingsError,
     ["order", f"not {-(2**70)}"]),
    ("shift as text", None, dict(shift="64"), TypeError, ["shift", "integer"]),
    ("dt 0", None, dict(dt=0), kelvarodine.SettingsError, ["dt", "greater than 0"]),
    ("dt NaN", None, dict(dt=float("nan")), kelvarodine.SettingsError, ["dt"]),
    ("t0 infinite", None, dict(t0=float("inf")), kelvarodine.SettingsError, ["t0"]),
    ("t0 as text", None, dict(t0="0"), TypeError, ["t0", "real"]),
    ("diff 2", None, dict(diff=2), ValueError, ["diff"]),
    ("threads -1", None, dict(threads=-1), ValueError, ["threads"]),
    ("null as text", None, dict(null="yes"), TypeError, ["null"]),
]


@pytest.mark.parametrize("case,change,arguments,error,words", REFUSED,
                         ids=[c[0] for c in REFUSED])
def test_refused_input_raises_naming_the_argument_and_rule(record, case, change, arguments,
                                                           error, words):
    data = change(record) if change else record
    given = dict(window=256, shift=64, order=3) | arguments
    with pytest.raises(error) as e:
        kelvarodine.analyse(data, **given)
    for w in words:
        assert w in str(e.value)
    if isinstance(e.value, kelvarodine.SettingsError):
        assert e.value.setting == words[0]
