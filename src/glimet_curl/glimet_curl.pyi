# Types of glimet_curl: m_curl.parse reads a pasted curl command.
from typing import Any, Final, final

@final
class Command:
    """A parsed curl command."""

    def dict(self, /) -> dict[str, Any]: ...

@final
class Curl:
    """The curl command reader; its one instance is m_curl."""

    def parse(self, text: str, /) -> Command: ...

m_curl: Final[Curl]
