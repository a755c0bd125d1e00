# Types of glimet_curl: m_curl.parse reads a pasted curl command.
import builtins
from typing import Any, Final, final

@final
class Command:
    """A parsed curl command."""

    def dict(self, /) -> dict[str, Any]:
        """A new dict: "url", "method", "headers", "data", "json" and "options".

        "headers" maps name to value in the order curl sends them; "json" is "data" decoded
        by json.loads, or None when there is no body or it is not JSON. "options" maps the
        long name of each delivery option read (--insecure, --cacert, --capath, --proxy,
        --noproxy, --max-time, --connect-timeout, --location, --request; -k and the other
        short forms under their long names), in the order first read, to its argument, or to
        True for a switch left on. Raises ValueError (its cause the RecursionError) for a body
        nested deeper than json.loads goes.
        """

    @property
    def options(self) -> builtins.dict[str, str | bool]:
        """A new dict of the delivery options, as dict()["options"]."""

@final
class Curl:
    """The curl command reader; its one instance is m_curl."""

    def parse(self, text: str, /) -> Command: ...

m_curl: Final[Curl]
