# Types of glimet_crypt: the signing hash m_crypt.
from typing import Final, Literal, final

@final
class Crypt:
    def sha256(self, /, text: str, case: Literal["upper", "lower"] = "upper") -> str: ...

m_crypt: Final[Crypt]
