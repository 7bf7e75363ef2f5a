"""The coherence measure of a multichannel record in a moving window.

    import numpy as np, kelvarodine
    r = kelvarodine.analyse(data, window=256, shift=64, order=3)   # data: channels x samples
    r.measure      # float32, frequencies x windows, NaN where a node is blank
    r.frequency    # each row's frequency, in cycles per unit of dt
    r.time         # each window's time mark (that of its last sample)

The numbers are those of the console program on the same samples and answers, bit for
bit: the samples are converted to float32, as the program reads its series files.
"""

import numbers
import operator

import numpy as np

from . import _kelvarodine

__all__ = ["analyse", "Analysis", "SettingsError"]
__version__ = _kelvarodine.__version__

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1


class SettingsError(ValueError):
    """A setting the analysis refuses; `setting` names it ("data", "diff", "window",
    "order", "t0" or "dt") and the message gives the rule it breaks."""

    def __init__(self, message, setting):
        super().__init__(message)
        self.setting = setting


class Analysis:
    """The result of `analyse`.

    measure             float32, frequencies x windows; NaN where the node is blank (the
                        grid file's no-data value): a window holding a gap, a constant
                        channel, a degenerate fit
    frequency           float64, each row's frequency, (f - 1) / (nfft dt)
    time                float64, each window's time mark: that of its last sample
    settings            dict: diff, window, shift (after clamping to 1 .. window - 1),
                        order, t0, dt, nfft
    degenerate          int32, per window: singular matrices its fit met (its column is
                        then blank)
    channel_coherences  float32, channels x frequencies x windows: each channel's multiple
                        coherence with the others, whose product's square root is the
                        measure (with channels=True, else None)
    null_levels         float32, frequencies x 2: the 95 % and 99 % levels that mutually
                        independent channels reach by chance (with null=True, else None)
    """

    __slots__ = (
        "measure",
        "frequency",
        "time",
        "settings",
        "degenerate",
        "channel_coherences",
        "null_levels",
    )

    def __init__(self, measure, frequency, time, settings, degenerate, channel_coherences,
                 null_levels):
        self.measure = measure
        self.frequency = frequency
        self.time = time
        self.settings = settings
        self.degenerate = degenerate
        self.channel_coherences = channel_coherences
        self.null_levels = null_levels

    def __repr__(self):
        s = self.settings
        return (f"<kelvarodine.Analysis: {self.measure.shape[1]} windows x "
                f"{self.measure.shape[0]} frequencies; window {s['window']}, "
                f"shift {s['shift']}, order {s['order']}, diff {int(s['diff'])}>")

    def to_xarray(self):
        """The result as a labelled xarray.Dataset: `measure` (frequency, time),
        `degenerate` (time), and when computed `channel_coherences` (channel,
        frequency, time) and `null_levels` (frequency, level: 95 and 99); the
        settings as attributes."""
        try:
            import xarray
        except ImportError as e:
            raise ImportError("to_xarray() needs the xarray package (on Debian: apt-get "
                              "install python3-xarray)") from e
        coords = {
            "frequency": ("frequency", self.frequency,
                          {"long_name": "frequency", "units": "cycles per unit of dt"}),
            "time": ("time", self.time,
                     {"long_name": "time mark of the window's last sample"}),
        }
        data_vars = {
            "measure": (("frequency", "time"), self.measure,
                        {"long_name": "coherence measure"}),
            "degenerate": (("time",), self.degenerate,
                           {"long_name": "singular matrices met by the window's fit"}),
        }
        if self.channel_coherences is not None:
            coords["channel"] = ("channel", np.arange(self.channel_coherences.shape[0]))
            data_vars["channel_coherences"] = (
                ("channel", "frequency", "time"), self.channel_coherences,
                {"long_name": "multiple coherence of the channel with all the others"})
        if self.null_levels is not None:
            coords["level"] = ("level", np.array([95, 99]), {"units": "%"})
            data_vars["null_levels"] = (("frequency", "level"), self.null_levels,
                                        {"long_name": "null level of the measure"})
        # Attributes as file formats take them: no booleans.
        attrs = {k: int(v) if isinstance(v, bool) else v for k, v in self.settings.items()}
        return xarray.Dataset(data_vars, coords=coords, attrs=attrs)


def _integer(name, value):
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not a bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def _real(name, value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    return float(value)


def _flag(name, value):
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be True or False (or 0 or 1), not {type(value).__name__}")
    if value not in (0, 1):
        raise ValueError(f"{name} must be True or False (or 0 or 1), not {value}")
    return bool(value)


def _int32(value):
    """The nearest 32-bit integer: what the library is given for a value it cannot
    hold. Windows and orders that far out are refused, shifts clamped, in any case."""
    return min(max(value, _INT32_MIN), _INT32_MAX)


def _samples(data):
    """data as a C-contiguous channels x samples float32 array."""
    try:
        a = np.asarray(data)
    except ValueError as e:  # ragged nested sequences
        raise ValueError(f"data must be a channels x samples array: {e}") from None
    if a.dtype.kind not in "iuf":
        raise TypeError(f"data must hold real numbers (integers or floats), not {a.dtype}")
    if a.ndim != 2:
        hint = " (one channel: the measure needs at least 2)" if a.ndim == 1 else ""
        raise ValueError(f"data must be 2-D (channels x samples), not {a.ndim}-D{hint}")
    with np.errstate(over="ignore"):
        x = np.ascontiguousarray(a, dtype=np.float32)
    if a.dtype.itemsize > 4 and a.dtype.kind == "f":
        # A finite sample beyond float32's range would become an infinity, a gap.
        beyond = np.isinf(x) & np.isfinite(a)
        if beyond.any():
            j, k = (int(i) for i in np.argwhere(beyond)[0])
            raise ValueError(f"data: sample {k} of channel {j} ({a[j, k]!r}) is beyond the "
                             f"range of float32")
    if np.ma.isMaskedArray(data) and np.ma.getmask(data) is not np.ma.nomask:
        # Masked samples are gaps (a new array: x may be the caller's own).
        x = np.where(np.ma.getmaskarray(data), np.float32(np.nan), x)
    return x


def _settings_problem(problem, setting, given, passed):
    """The library's message about the value passed, with the value given in place of
    its 32-bit stand-in."""
    if given != passed and problem.endswith(f"not {passed}"):
        problem = problem[: -len(str(passed))] + str(given)
    return SettingsError(problem, setting)


def analyse(data, window, shift, order, *, diff=False, t0=0.0, dt=1.0, threads=0,
            channels=False, null=False):
    """Analyses every window of `window` samples, `shift` samples apart, of the record
    `data` (channels x samples, any real dtype, converted to float32; NaN, infinite or
    masked samples are gaps, and exactly the windows that hold one are blank) with a vector
    autoregressive model of order `order`.

    diff      True: analyse first differences
    t0, dt    time mark of the first sample and time between samples (dt > 0)
    threads   0: all processors; the results do not depend on it
    channels  also return each channel's multiple coherence
    null      also return the 95 % and 99 % null levels (99 simulated windows)

    shift is clamped to 1 .. window - 1. A setting that breaks its rule raises
    SettingsError (a ValueError) naming it. The interpreter's lock is released while
    the windows are analysed; Ctrl-C stops the run (KeyboardInterrupt) within a fraction
    of a second, except during the null levels' 99 windows. Returns an Analysis.
    """
    window = _integer("window", window)
    shift = _integer("shift", shift)
    order = _integer("order", order)
    threads = _integer("threads", threads)
    diff = _flag("diff", diff)
    channels = _flag("channels", channels)
    null = _flag("null", null)
    t0 = _real("t0", t0)
    dt = _real("dt", dt)
    if threads < 0:
        raise ValueError(f"threads must be 0 (all processors) or more, not {threads}")
    x = _samples(data)

    given = {"window": window, "order": order}
    passed = {"window": _int32(window), "order": _int32(order)}
    args = dict(diff=int(diff), window=passed["window"], shift=_int32(shift),
                order=passed["order"], t0=t0, dt=dt)
    plan = _kelvarodine.plan(x.shape[0], x.shape[1], **args)
    if "problem" in plan:
        setting = plan["setting"]
        problem = plan["problem"]
        if setting == "data" and x.shape[1] < _kelvarodine.MIN_SAMPLES <= x.shape[0]:
            problem += " (data is channels x samples: pass data.T for samples x channels)"
        raise _settings_problem(problem, setting, given.get(setting), passed.get(setting))
    r = _kelvarodine.analyse(x, threads=_int32(threads), channels=channels, null=null, **args)
    settings = {k: plan[k] for k in ("diff", "window", "shift", "order", "t0", "dt", "nfft")}
    return Analysis(settings=settings, **r)
