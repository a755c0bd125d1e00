"""glimet-work: testing chores for QA engineers.

Import the toolkit through its entry module::

    from glimet_work.duty_main import GlimetWorkMain

``METERSPHERE_BASE`` is the MeterSphere server (an https origin) this build's review talks to.
"""

from glimet_work._build import METERSPHERE_BASE

# The one place the release is written; the package metadata reads it from here.
__version__ = "0.2.0"

__all__ = ["METERSPHERE_BASE", "__version__"]
