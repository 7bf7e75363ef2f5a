"""What the Python package's tests share: the programs of the build, simulated records,
and running the console program on a record and reading its grid files."""

import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

BLANK = "1.701410E+38"


def build_file(variable):
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set (the tests are run by ctest)")
    return Path(path)


@pytest.fixture(scope="session")
def console():
    return build_file("KELV_CONSOLE")


def coupled_record(nch, n, seed, step=1 / 1024):
    """nch channels sharing an oscillation of slowly changing strength, plus noise of
    their own, rounded to multiples of `step` so that the decimal text written for
    the console holds exactly the float32 each sample is."""
    rng = np.random.default_rng(seed)
    common = np.zeros(n)
    e = rng.standard_normal(n)
    for k in range(2, n):
        common[k] = 1.6 * common[k - 1] - 0.9 * common[k - 2] + e[k]
    strength = 0.5 + 0.5 * np.sin(np.linspace(0, 3 * np.pi, n))
    x = strength * common + rng.standard_normal((nch, n))
    return (np.round(x / step) * step).astype(np.float32)


def read_dsaa(path):
    """The header's numbers and the nodes' texts (ny x nx) of a DSAA grid file."""
    text = path.read_bytes().decode("ascii")
    assert text.endswith("\r\n")
    lines = text[:-2].split("\r\n")
    assert lines[0] == "DSAA"
    nx, ny = (int(v) for v in lines[1].split())
    header = {
        "nx": nx,
        "ny": ny,
        "x": tuple(float(v) for v in lines[2].split()),
        "y": tuple(float(v) for v in lines[3].split()),
    }
    nodes = " ".join(lines[5:]).split()
    assert len(nodes) == nx * ny
    return header, np.array(nodes).reshape(ny, nx)


def same_as_grid(values, nodes):
    """Whether float32 values are the grid file's nodes: NaN where a node is blank,
    elsewhere the same seven significant digits, rounded once from the float's exact
    value, as the file holds them."""
    values = np.asarray(values)
    assert values.shape == nodes.shape
    blank = nodes == BLANK
    if not np.array_equal(np.isnan(values), blank):
        return False
    ours = np.array([float(f"{v:.6E}") for v in values[~blank].astype(np.float64)])
    theirs = np.array([float(t) for t in nodes[~blank]])
    return np.array_equal(ours, theirs)


def run_console(console, directory, data, answers, *arguments):
    """Writes each channel of data to a series file named in `list` in directory, runs
    the console program there with the answers piped in, and returns its grid files'
    headers and nodes (the null levels' as None without --null)."""
    directory = Path(directory)
    names = []
    for j, channel in enumerate(np.asarray(data, dtype=np.float64)):
        name = f"s{j + 1}.txt"
        (directory / name).write_text("".join(f"{v:.10f}\n" for v in channel))
        names.append(name)
    (directory / "list").write_text("\n".join(names) + "\n")
    run = subprocess.run([str(console), *arguments], cwd=directory, input=answers.encode(),
                         capture_output=True, timeout=300)
    assert run.returncode == 0, run.stderr.decode(errors="replace")
    null = directory / "Kelvarodine.null.grd"
    return read_dsaa(directory / "Kelvarodine.grd"), read_dsaa(null) if null.exists() else None
