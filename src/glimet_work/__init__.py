"""glimet-work: testing chores for QA engineers.

Import the toolkit through its entry module::

    from glimet_work.duty_main import GlimetWorkMain

or use the functions of this package: ``review`` carries a MeterSphere review through from a
pasted curl command, with every answer checked (see its help).

``METERSPHERE_BASE`` is the MeterSphere server (an https origin) this build's review talks to,
and ``METERSPHERE_API_ROOT`` the path of its test-track API there (``/track`` on a stock server).
"""

from typing import Any

from glimet_work._build import METERSPHERE_API_ROOT, METERSPHERE_BASE

# The one place the release is written; the package metadata reads it from here.
__version__ = "0.2.0"

# Names whose module loads the toolkit (and requests) only when one of them is first used.
_REVIEW_NAMES = ("review", "ReviewError", "PasteError", "ReviewPlan", "ReviewResult")

__all__ = ["METERSPHERE_API_ROOT", "METERSPHERE_BASE", "__version__", *_REVIEW_NAMES]


def __getattr__(name: str) -> Any:
    if name in _REVIEW_NAMES:
        from glimet_work import _review

        value = getattr(_review, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'glimet_work' has no attribute {name!r}")
