"""The signing constants, no secret but masked, do not show as strings in the built modules."""

import pathlib

import glimet_crypt
import glimet_curl
import glimet_work
from signing_helpers import DEFAULT_SALT, PRODUCTION_SALT

CONSTANTS = [PRODUCTION_SALT, DEFAULT_SALT]


def shared_objects():
    package = pathlib.Path(glimet_work.__file__).parent
    return [*package.glob("*.so"), pathlib.Path(glimet_crypt.__file__),
            pathlib.Path(glimet_curl.__file__)]


def test_constants_absent_from_shared_objects():
    for path in shared_objects():
        image = path.read_bytes()
        for constant in CONSTANTS:
            # Neither whole nor in the pieces `strings` would show (runs of 8 or more): every
            # window of 8 characters, the last one included.
            for start in range(len(constant) - 7):
                piece = constant[start : start + 8].encode()
                assert piece not in image, (path.name, piece)
            assert constant.encode("utf-16-le") not in image
            assert constant.encode("utf-32-le") not in image
