# Types of glimet_work._review_urls: the review operation's endpoints.
from typing import Final

LIST_URL: Final[str]  # "{page}" filled by str.format(page=...)
EDIT_URL: Final[str]
