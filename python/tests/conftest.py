"""What the module's tests share: a temporary directory that must be left empty of the
library's and tqsort's files, the tqsort program, and peak memory measured in a child."""

import os
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def tmp(tmp_path):
    """A directory for a test's files; none of the library's or tqsort's temporary files
    ("tq_*", "tqsort_*", "tqsort-*", ".tqsort-*") may be left in it."""
    yield tmp_path
    left = [n for n in os.listdir(tmp_path) if n.startswith(("tq_", "tqsort", ".tqsort"))]
    assert left == [], "temporary files left behind: %r" % left


@pytest.fixture(scope="session")
def tqsort_bin():
    path = os.environ.get("TQSORT")
    if not path or not os.path.exists(path):
        pytest.skip("TQSORT does not name the tqsort program")
    return path


def run_tqsort(tqsort_bin, args, tmp):
    """Runs the tqsort program; (exit status, stdout bytes, stderr text)."""
    p = subprocess.run([tqsort_bin, "--no-progress", "-T", str(tmp)] + [str(a) for a in args],
                       stdin=subprocess.DEVNULL, capture_output=True)
    return p.returncode, p.stdout, p.stderr.decode()


def peak_growth(script, **env):
    """Runs `script` in a fresh interpreter (this one's PYTHONPATH) and returns the
    growth of its peak resident memory over what it had after `import tqdatafile`,
    in bytes, and what the script printed."""
    code = textwrap.dedent("""
        import sys
        def hwm():
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        return int(line.split()[1]) * 1024
        import tqdatafile
        before = hwm()
    """) + textwrap.dedent(script) + textwrap.dedent("""
        print("growth", hwm() - before)
    """)
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                       env=dict(os.environ, **env), timeout=110)
    assert p.returncode == 0, p.stderr
    lines = p.stdout.splitlines()
    return int(lines[-1].split()[1]), lines[:-1]
