import os
import subprocess
import sys
from pathlib import Path

import pytest


@pytest.mark.skipif("CALMORA_VERSION" not in os.environ, reason="ctest's python_package runs it")
def test_pip_installs_the_package_whose_stubs_mypy_reads(tmp_path):
    site, run = tmp_path / "site", lambda *a: subprocess.run(
        a, cwd=tmp_path, env={**os.environ, "PYTHONPATH": str(site), "MYPYPATH": str(site)},
        capture_output=True, text=True)
    pip = run(sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
              "--no-cache-dir", "--target", str(site), str(Path(__file__).parents[2]))
    assert pip.returncode == 0, pip.stderr
    shown = run(sys.executable, "-c", "import calmora, importlib.metadata as m; "
                "print(calmora.__file__, calmora.__version__, m.version('calmora'))").stdout.split()
    assert shown == [str(site / "calmora/__init__.py")] + [os.environ["CALMORA_VERSION"]] * 2
    (tmp_path / "use.py").write_text(
        "import calmora\nframes = list(calmora.stabilise_frames([], 'lookahead', latency=3))\n"
        "x: int = calmora.Stabiliser().offsets\n"
        "calmora.plot_report(calmora.stabilise_file('a', 'b', progress=lambda d, t, p: 0), 'p')\n")
    checked = run(sys.executable, "-m", "mypy", "--no-incremental", "use.py").stdout
    assert checked.startswith("use.py:3: error: Incompatible types in assignment")
    assert checked.endswith("Found 1 error in 1 file (checked 1 source file)\n")
