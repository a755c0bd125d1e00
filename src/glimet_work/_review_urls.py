"""The review operation's two endpoints, and which of them a request it sends is for."""

from glimet_work._build import METERSPHERE_API_ROOT, METERSPHERE_BASE

# The case list, "{page}" filled by str.format(page=...), and the edit of one case.
LIST_URL = f"{METERSPHERE_BASE}{METERSPHERE_API_ROOT}/test/review/case/list/{{page}}/50"
EDIT_URL = f"{METERSPHERE_BASE}{METERSPHERE_API_ROOT}/test/review/case/edit"

_BEFORE_PAGE, _AFTER_PAGE = LIST_URL.split("{page}")


def list_page(url: str) -> int | None:
    """The page number of a list request's URL, or None when `url` is not one."""
    if not (url.startswith(_BEFORE_PAGE) and url.endswith(_AFTER_PAGE)):
        return None
    page = url[len(_BEFORE_PAGE) : len(url) - len(_AFTER_PAGE)]
    return int(page) if page.isdigit() and page.isascii() else None
