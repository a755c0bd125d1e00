"""glimet-work: testing chores for QA engineers.

Import the toolkit through its entry module::

    from glimet_work.duty_main import GlimetWorkMain

``METERSPHERE_BASE`` is the MeterSphere server (an https origin) this build's review talks to,
and ``METERSPHERE_API_ROOT`` the path of its test-track API there (``/track`` on a stock server).
"""

from glimet_work._build import METERSPHERE_API_ROOT, METERSPHERE_BASE

# The one place the release is written; the package metadata reads it from here.
__version__ = "0.2.0"

__all__ = ["METERSPHERE_API_ROOT", "METERSPHERE_BASE", "__version__"]
