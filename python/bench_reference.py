"""Times kelvarodine.analyse against the console program on the reference data set (8
channels of 40000 samples, window 1024, shift 64, order 10: 610 windows x 512
frequencies), alternating the two run by run so that both see the same machine load,
and reports medians and peak resident memory.

    PYTHONPATH=build/python python3 python/bench_reference.py BUILD_DIR [RUNS]

Every run is a fresh process. For Python, "call" is the analyse call alone, "process"
the whole process (start-up, imports, loading the samples from a .npy file, the call);
for the console, the whole run (reading the series files, the analysis, writing the
grid). Both with all processors, then both with one thread (OMP_NUM_THREADS=1 and
threads=1). Checks that both give the same grid.
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ANSWERS = b"0\n1024\n64\n10\n0 1\n"
CHILD = """
import sys, time
import numpy as np, kelvarodine
x = np.load(sys.argv[1])
threads = int(sys.argv[2])
status = open("/proc/self/status").read()
before = int(status.split("VmHWM:")[1].split()[0])
t = time.perf_counter()
r = kelvarodine.analyse(x, 1024, 64, 10, threads=threads)
call = time.perf_counter() - t
np.save(sys.argv[3], r.measure)
print(call, before)
"""


def timed(command, **kwargs):
    """Wall time and peak resident memory (KiB) of one child process, and its output.
    The memory is measured by /usr/bin/time, a small process: the peak that the
    kernel reports for a child of this process would include this process's own at
    the fork."""
    report = Path(tempfile.mkstemp()[1])
    try:
        start = time.perf_counter()
        run = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, *command],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, **kwargs)
        wall = time.perf_counter() - start
        if run.returncode != 0:
            sys.exit(f"{command[0]} failed with status {run.returncode}")
        return wall, int(report.read_text().split()[-1]), run.stdout
    finally:
        report.unlink()


def main():
    build = Path(sys.argv[1]).resolve()
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    work = Path(tempfile.mkdtemp())
    subprocess.run([build / "examples" / "kelvarodine-example", work, "--channels", "8",
                    "--samples", "40000"], check=True, stdout=subprocess.DEVNULL)
    names = (work / "list").read_text().split()
    # Text to float32 directly, as the console reads it.
    x = np.array([np.loadtxt(work / n, dtype=np.float32) for n in names])
    np.save(work / "x.npy", x)

    for threads in (0, 1):
        env = dict(os.environ)
        if threads:
            env["OMP_NUM_THREADS"] = str(threads)
        console, python = [], []
        for _ in range(runs):
            console.append(console_run(build, work, env))
            wall, rss, out = timed([sys.executable, "-c", CHILD, work / "x.npy", str(threads),
                                    work / "m.npy"])
            call, before = out.split()
            python.append((wall, rss, float(call), int(before)))
        same = grid_matches(work / "Kelvarodine.grd", np.load(work / "m.npy"))
        label = "all processors" if threads == 0 else "one thread"
        c = statistics.median(w for w, _ in console)
        p_call = statistics.median(r[2] for r in python)
        p_proc = statistics.median(r[0] for r in python)
        print(f"== {label}, {runs} runs each, alternating; grids identical: {same}")
        print(f"console  whole run  median {c:.3f} s (min {min(w for w, _ in console):.3f}), "
              f"peak RSS {max(r for _, r in console)} KiB")
        print(f"python   call       median {p_call:.3f} s (min {min(r[2] for r in python):.3f})"
              f"  ratio call/console {p_call / c:.2f}")
        print(f"python   process    median {p_proc:.3f} s, peak RSS {max(r[1] for r in python)} "
              f"KiB (before the call {max(r[3] for r in python)} KiB)  ratio process/console "
              f"{p_proc / c:.2f}")


def console_run(build, work, env):
    (work / "Kelvarodine.grd").unlink(missing_ok=True)
    wall, rss, _ = timed([build / "console" / "kelvarodine"], cwd=work, env=env, input=ANSWERS)
    return wall, rss


def grid_matches(path, measure):
    lines = path.read_bytes().decode().split("\r\n")
    nodes = " ".join(lines[5:]).split()
    ours = [f"{v:.6E}" if np.isfinite(v) else "1.701410E+38" for v in measure.astype(float).ravel()]
    return [float(t) for t in nodes] == [float(t) for t in ours]


if __name__ == "__main__":
    main()
