"""The MeterSphere address given at build time must be an https origin, or the build stops."""

import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CMAKE = shutil.which("cmake", path="/usr/bin") or shutil.which("cmake")


def configure(base, build_dir):
    return subprocess.run(
        [CMAKE, "-S", str(ROOT), "-B", str(build_dir),
         f"-DPython_EXECUTABLE={sys.executable}", f"-DGLIMET_METERSPHERE_BASE={base}"],
        capture_output=True, text=True, timeout=300,
    )


@pytest.mark.skipif(CMAKE is None or not (ROOT / "CMakeLists.txt").exists(),
                    reason="needs the source tree and CMake")
@pytest.mark.parametrize(
    "base, accepted",
    [
        ("https://ms.example.org", True),
        ("https://ms.example.org:8443", True),
        ("https://ms_test.lan", True),
        ("https://[fd00::1]:8443", True),
        ("https://[fd00::1", False),
        ("http://ms.example.org", False),
        ("https://ms.example.org/", False),
        ("https://ms.example.org/metersphere", False),
        ("ms.example.org", False),
        ("https://", False),
        ("https://ms.example.org:port", False),
    ],
)
def test_base_address_is_checked(tmp_path, base, accepted):
    done = configure(base, tmp_path)
    assert (done.returncode == 0) is accepted, done.stdout + done.stderr
    if not accepted:
        assert "GLIMET_METERSPHERE_BASE must be an https origin" in done.stderr
