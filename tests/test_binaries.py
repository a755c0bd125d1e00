"""The built modules stand alone: no libpython, no C++ runtime, one exported symbol each."""

import os
import pathlib
import shutil
import subprocess

import pytest

import glimet_crypt
import glimet_curl
import glimet_work

PACKAGE = pathlib.Path(glimet_work.__file__).parent
MODULES = {
    "tervix_main": next(PACKAGE.glob("tervix_main*.so")),
    "duty_main": next(PACKAGE.glob("duty_main*.so")),
    "_functions": next(PACKAGE.glob("_functions*.so")),
    "glimet_crypt": pathlib.Path(glimet_crypt.__file__),
    "glimet_curl": pathlib.Path(glimet_curl.__file__),
}
# glibc's own libraries: the loader, libc and libm; a wheel's modules, built against glibc 2.28,
# also name libpthread and libdl, which glibc kept apart from libc until 2.34.
ALLOWED = {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2", "libpthread.so.0", "libdl.so.2"}
if os.environ.get("GLIMET_SANITIZED"):  # make test-asan: the sanitizer runtimes as well
    ALLOWED |= {"libasan.so.8", "libubsan.so.1"}


def tool(*args):
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout


@pytest.mark.skipif(not shutil.which("readelf") or not shutil.which("nm"), reason="binutils")
@pytest.mark.parametrize("name", MODULES)
def test_needs_only_the_c_library_and_exports_only_its_init(name):
    path = str(MODULES[name])
    needed = {line.split("[")[1].rstrip("]") for line in tool("readelf", "-d", path).splitlines()
              if "(NEEDED)" in line}
    assert needed <= ALLOWED, needed
    exported = tool("nm", "-D", "--defined-only", path).split()[2::3]
    assert exported == [f"PyInit_{name}"]
