"""The README's Python example, and the package as `cmake --install` puts it in place."""

import os
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from conftest import build_file

def readme_python_blocks():
    readme = (build_file("KELV_SOURCE_DIR") / "README.md").read_text()
    section = readme.split("\n## Use from Python\n", 1)[1].split("\n## ", 1)[0]
    return section, re.findall(r"^```python\n(.*?)^```$", section, re.S | re.M)


def run_python(code, cwd, python=sys.executable, **env):
    """Runs code in a fresh interpreter that reads no package from the build tree
    unless env says so."""
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"} | env
    return subprocess.run([python, "-c", code], cwd=cwd, env=environment, capture_output=True,
                          text=True, timeout=120)


def test_the_readme_example_prints_what_the_readme_says(tmp_path):
    section, blocks = readme_python_blocks()
    example, plot = blocks
    assert len(example.strip().splitlines()) == 5
    run = run_python(example, tmp_path, PYTHONPATH=os.environ.get("PYTHONPATH", ""))
    assert run.returncode == 0, run.stderr
    printed = run.stdout.strip()
    assert f"It prints `{printed}`" in " ".join(section.split())

    # The plotting example, where matplotlib is there.
    pytest.importorskip("matplotlib")
    run = run_python(example + plot, tmp_path, PYTHONPATH=os.environ.get("PYTHONPATH", ""),
                     MPLBACKEND="Agg")
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "measure.png").stat().st_size > 0


def install(prefix):
    run = subprocess.run([str(build_file("KELV_CMAKE")), "--install",
                          str(build_file("KELV_BUILD_DIR")), "--prefix", str(prefix)],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    return run.stdout


IMPORT = ("import kelvarodine, numpy as np; "
          "r = kelvarodine.analyse(np.arange(600.0).reshape(2, 300) % 7, 64, 32, 2); "
          "print(kelvarodine.__file__, r.measure.shape)")


def test_installed_into_a_prefix_the_interpreter_does_not_read(tmp_path):
    prefix = tmp_path / "prefix"
    output = install(prefix)
    where = Path(sysconfig.get_path("platlib", "posix_prefix",
                                    vars={"base": str(prefix), "platbase": str(prefix)}))
    package = where / "kelvarodine"
    assert (package / "__init__.py").is_file()
    assert len(list(package.glob("_kelvarodine*.so"))) == 1
    assert f"PYTHONPATH={where}" in output
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    run = run_python(IMPORT, elsewhere, PYTHONPATH=str(where))
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == [str(package / "__init__.py"), "(32,", "8)"]


def test_installed_into_a_virtual_environment_it_is_found_without_pythonpath(tmp_path):
    venv = tmp_path / "venv"
    made = subprocess.run([sys.executable, "-m", "venv", "--without-pip",
                           "--system-site-packages", str(venv)], capture_output=True)
    if made.returncode != 0:
        pytest.skip("no venv module")
    install(venv)
    run = run_python(IMPORT, tmp_path, python=str(venv / "bin" / "python"))
    assert run.returncode == 0, run.stderr
    assert run.stdout.split()[0].startswith(str(venv) + os.sep)


def install_dir(prefix):
    run = subprocess.run([sys.executable, "-E", str(build_file("KELV_SOURCE_DIR") / "python" / "install_dir.py"),
                          prefix], capture_output=True, text=True, check=True)
    where, read = run.stdout.split("\n")[:2]
    return where, read == "1"


def test_under_the_interpreters_own_prefixes_the_package_goes_where_it_reads():
    # Debian's interpreter reads /usr/lib/python3/dist-packages and
    # /usr/local/lib/python3.X/dist-packages: the standard lib/python3.X/site-packages
    # of either prefix would never be imported.
    for prefix in (sys.base_prefix, "/usr/local"):
        packages = [p for p in sys.path
                    if p.startswith(os.path.join(prefix, "lib", "")) and p.endswith("-packages")]
        if not packages:
            continue
        where, read = install_dir(prefix)
        assert read and where in packages
    if "deb_system" in sysconfig.get_scheme_names() and sys.base_prefix == "/usr":
        assert install_dir("/usr")[0] == "/usr/lib/python3/dist-packages"
        version = f"{sys.version_info.major}.{sys.version_info.minor}"
        assert install_dir("/usr/local")[0] == f"/usr/local/lib/python{version}/dist-packages"
