"""The MeterSphere address given at build time must be an https origin, and its API root a path,
or the build stops."""

import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CMAKE = shutil.which("cmake", path="/usr/bin") or shutil.which("cmake")


def configure(base, build_dir, api_root="/track"):
    return subprocess.run(
        [CMAKE, "-S", str(ROOT), "-B", str(build_dir),
         f"-DPython_EXECUTABLE={sys.executable}", f"-DGLIMET_METERSPHERE_BASE={base}",
         f"-DGLIMET_METERSPHERE_API_ROOT={api_root}"],
        capture_output=True, text=True, timeout=300,
    )


NEEDS_CMAKE = pytest.mark.skipif(CMAKE is None or not (ROOT / "CMakeLists.txt").exists(),
                                 reason="needs the source tree and CMake")


@NEEDS_CMAKE
@pytest.mark.parametrize(
    "api_root, accepted",
    [("/track", True), ("/metersphere-api/track", True), ("/a_b/c-d.e~", True), ("", False),
     ("/", False), ("track", False), ("/track/", False), ("/tr ack", False), ("/a//b", False)],
)
def test_api_root_is_checked(tmp_path, api_root, accepted):
    done = configure("https://ms.example.org", tmp_path, api_root)
    assert (done.returncode == 0) is accepted, done.stdout + done.stderr
    if not accepted:
        assert "GLIMET_METERSPHERE_API_ROOT must be a path" in done.stderr


@NEEDS_CMAKE
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
