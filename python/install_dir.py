"""Where `cmake --install` puts the Python package for an installation prefix.

    python3 -E install_dir.py PREFIX

prints the platform library directory for PREFIX and, on a second line, 1 when this
interpreter reads that directory without PYTHONPATH, else 0. That directory is the one
the interpreter reads for the prefix when there is one (on Debian lib/python3/dist-packages
under /usr and lib/python3.X/dist-packages under /usr/local), otherwise the standard
lib/python3.X/site-packages (where a virtual environment made at PREFIX reads it).
"""

import os
import site
import sys
import sysconfig


def install_dir(prefix):
    prefix = os.path.normpath(os.path.abspath(prefix))
    paths = {"base": prefix, "platbase": prefix}
    schemes = sysconfig.get_scheme_names()
    candidates = [sysconfig.get_path("platlib", scheme, vars=paths)
                  for scheme in ("deb_system", "posix_prefix") if scheme in schemes]
    candidates += site.getsitepackages([prefix])
    read = {os.path.realpath(p) for p in sys.path if p}
    for c in candidates:
        if c.startswith(prefix + os.sep) and os.path.realpath(c) in read:
            return c, True
    return sysconfig.get_path("platlib", "posix_prefix", vars=paths), False


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: install_dir.py PREFIX")
    where, read = install_dir(sys.argv[1])
    print(where)
    print(int(read))
