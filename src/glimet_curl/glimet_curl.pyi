# Types of glimet_curl: m_curl.parse reads a pasted curl command.
from typing import Any, Final, Protocol

class _ParsedCurl(Protocol):
    def dict(self) -> dict[str, Any]: ...

class _Curl(Protocol):
    def parse(self, text: str) -> _ParsedCurl: ...

m_curl: Final[_Curl]
