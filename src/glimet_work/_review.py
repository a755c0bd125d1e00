"""glimet_work.review: a MeterSphere review carried through by the toolkit's review operation,
with every request it sends checked and every answer it reads judged before the operation
sees it.

The operation sends its requests through its module's `requests`. For the run, `review` puts a
stand-in there that sends them through one bounded session (glimet_work._transport), refuses
what must not be done (a redirect followed, a list that does not add up, an edit before the
caller agreed), and counts what the server answered. The operation's own lines are printed as
it prints them.
"""

from __future__ import annotations

import math
import re
import threading
import urllib.parse
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from glimet_work import _review_urls, tervix_main
from glimet_work._build import METERSPHERE_API_ROOT, METERSPHERE_BASE
from glimet_work._transport import MiB, Answer, Transport, TransportError

_BEFORE_PAGE, _AFTER_PAGE = _review_urls.LIST_URL.split("{page}")

PAGE_SIZE = 50  # the operation's page size, fixed in its list URL
SESSION_HINT = (
    "the session in the pasted command has expired or lacks the right: copy the request again "
    "from a logged-in browser"
)
COPY_HINT = (
    "on the review's page in MeterSphere, copy the request that lists its cases "
    "(…/test/review/case/list/1/10) with Copy as cURL"
)
STATUSES = ("Prepare", "Pass", "UnPass", "Underway", "Again", "Rereview")
SHOWN_BY_NAME = 10  # UnPass cases named before the first edit
SHOWN_REFUSED = 3  # refusals quoted in the closing line


class ReviewError(Exception):
    """The review could not go on. Its message is the one line the command line prints;
    `result` tells what was done before (a ReviewResult), `status` the command's exit status."""

    status = 1

    def __init__(self, message: str, result: ReviewResult | None = None) -> None:
        super().__init__(message)
        self.result = result


class PasteError(ReviewError):
    """The pasted command cannot be reviewed as it stands; nothing was sent."""

    status = 2


@dataclass
class ReviewPlan:
    """What the review is about to change, given to `confirm` before the first edit."""

    server: str
    review_id: Any
    cases: list[dict[str, Any]]  # every case of the review, as the server listed it
    to_pass: list[dict[str, Any]]  # those that will be set to Pass, in order
    statuses: dict[str, int]  # how many cases are in each present review status
    unpass: list[dict[str, Any]]  # the cases a reviewer has failed, now UnPass
    notes: list[str]  # what the pasted command asked for that the review does not do

    def describe(self) -> list[str]:
        """The plan in lines: the cases by status, then the UnPass ones by name."""
        counts = ", ".join(f"{count} {status}" for status, count in self.statuses.items())
        lines = [f"{len(self.cases)} cases of review {self.review_id} on {self.server}: {counts}"]
        if self.unpass:
            names = ", ".join(case_name(case) for case in self.unpass[:SHOWN_BY_NAME])
            more = len(self.unpass) - SHOWN_BY_NAME
            kept = len(self.to_pass) < len(self.cases)
            lines.append(
                f"UnPass now (a reviewer failed them{'; kept as they are' if kept else ''}): "
                + names
                + (f", and {more} more" if more > 0 else "")
            )
        return lines


@dataclass
class ReviewResult:
    """What a review did. The lists hold the server's case records, as it listed them."""

    cases: list[dict[str, Any]] = field(default_factory=list)  # every case read
    passed: list[dict[str, Any]] = field(default_factory=list)
    refused: list[tuple[dict[str, Any], str]] = field(default_factory=list)  # with the reason
    waiting: list[dict[str, Any]] = field(default_factory=list)  # Pass needs other reviewers
    kept: list[dict[str, Any]] = field(default_factory=list)  # UnPass, left as they are
    dry_run: bool = False
    plan: ReviewPlan | None = None  # what the review set out to change, once the list was read
    stopped: str | None = None  # why the review ended before its last edit, or None
    unknown: dict[str, Any] | None = None  # the case whose edit was sent but not answered
    notes: list[str] = field(default_factory=list)

    @property
    def to_pass(self) -> int:
        return len(self.cases) - len(self.kept)

    def summary(self) -> str:
        """The closing line: what happened on the server."""
        if self.dry_run:
            kept = f" ({len(self.kept)} UnPass kept)" if self.kept else ""
            return (
                f"dry run: {self.to_pass} of {len(self.cases)} cases would be set to Pass{kept}; "
                "none was changed"
            )
        done = len(self.passed) + len(self.refused) + len(self.waiting)
        if self.stopped == "cancelled":
            return "cancelled; no case was changed"
        if self.stopped is not None:
            if done == 0 and self.unknown is None:
                return "stopped before any case was changed; running the review again is safe"
            outcome = self._outcomes(quote=False)
            if self.unknown is not None:
                outcome.append(f"the outcome of the {_ordinal(done + 1)} is unknown")
            return (
                f"stopped after {done} of {self.to_pass} cases ({'; '.join(outcome)}); "
                "running the review again is safe"
            )
        if not self.cases:
            return "the pasted list matched no case (a search or filter in the copied request?)"
        return f"{len(self.cases)} cases: " + ", ".join(self._outcomes(quote=True))

    def _outcomes(self, quote: bool) -> list[str]:
        parts = [f"{len(self.passed)} passed"] if self.passed or not quote else []
        if self.waiting:
            parts.append(f"{len(self.waiting)} wait for other reviewers")
        if self.kept and quote:
            parts.append(f"{len(self.kept)} UnPass kept")
        if self.refused:
            refused = f"{len(self.refused)} refused"
            if quote:
                reasons = [f"{case_name(case)}: {reason}" for case, reason in self.refused]
                more = len(reasons) - SHOWN_REFUSED
                refused += ": " + "; ".join(reasons[:SHOWN_REFUSED])
                refused += f"; and {more} more" if more > 0 else ""
            parts.append(refused)
        return parts


def printable(text: str) -> str:
    """`text` with control characters (and those that reorder or break lines) escaped, so that
    server text cannot forge a line or drive the terminal."""
    return _CONTROL.sub(lambda m: m.group().encode("unicode_escape").decode("ascii"), text)


_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069]")


def case_name(case: Any) -> str:
    """A case's name as the review's own lines show it."""
    name = case.get("name") if isinstance(case, dict) else None
    if isinstance(name, str):
        return printable(name)
    return f"case id {printable(str(case.get('id') if isinstance(case, dict) else None))}"


def _ordinal(n: int) -> str:
    suffix = "th" if 10 <= n % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(n % 10, "th")
    return f"{n}{suffix}"


def _message(body: Any, answer: Answer) -> str:
    """The server's own words in an answer: its "message", else the start of the body."""
    message = body.get("message") if isinstance(body, dict) else None
    if isinstance(message, str) and message.strip():
        return printable(" ".join(message.split()))
    text = printable(" ".join(answer.text.split()))
    return (text if len(text) <= 100 else text[:100] + "…") or "(empty body)"


@dataclass
class _Paste:
    """The pasted command as the review reads it, and what it asks of delivery."""

    command: dict[str, Any]
    verify: bool | str = True
    proxies: dict[str, str | None] | None = None
    max_time: float | None = None
    connect_timeout: float | None = None
    notes: list[str] = field(default_factory=list)


def _read_paste(curl_text: str) -> _Paste:
    """Reads the paste with the operation's own reader; PasteError for what cannot be sent."""
    if not isinstance(curl_text, str):
        raise TypeError(f"curl_text must be str, not {type(curl_text).__name__}")
    try:
        command = tervix_main.m_curl.parse(curl_text).dict()
    except (ValueError, RecursionError) as exc:
        raise PasteError(f"cannot read the curl command: {' '.join(str(exc).split())}") from None
    if not isinstance(command, dict):
        raise PasteError(f"the curl reader gave a {type(command).__name__}, not a dict")
    _check_headers(command.get("headers"))
    paste = _Paste(command)
    _read_options(paste, command.get("options") or {})
    return paste


def _check_headers(headers: Any) -> None:
    """Refuses a header that HTTP cannot carry as requests sends it: names in ASCII, values in
    Latin-1."""
    for name, value in headers.items() if isinstance(headers, dict) else ():
        for part, text, charset in (("name", name, "ascii"), ("value", value, "latin-1")):
            if not isinstance(text, str):
                continue
            try:
                text.encode(charset)
            except UnicodeEncodeError as exc:
                character = exc.object[exc.start]
                raise PasteError(
                    f'cannot send the header "{printable(str(name))}": its {part} holds '
                    f"U+{ord(character):04X}, which HTTP headers cannot carry ({charset} only); "
                    "remove or percent-encode it in the pasted command"
                ) from None


def _seconds(option: str, text: Any) -> float:
    try:
        value = float(text)
    except (TypeError, ValueError):
        value = math.nan
    if not 0 < value < math.inf:
        raise PasteError(f"the pasted {option} {text!r} is not a positive number of seconds")
    return value


def _read_options(paste: _Paste, options: dict[str, Any]) -> None:
    """What the paste asks of delivery, as the reader reports it: honoured, refused or said."""
    if options.get("--insecure"):
        raise PasteError(
            "the pasted command turns certificate checks off (-k/--insecure), which the review "
            "never does: remove -k and add --cacert with your server's CA certificate, or set "
            "REQUESTS_CA_BUNDLE to that file"
        )
    for option in ("--cacert", "--capath"):
        if isinstance(options.get(option), str):
            paste.verify = options[option]
    host = urllib.parse.urlsplit(METERSPHERE_BASE).hostname or ""
    proxy = options.get("--proxy")
    if isinstance(proxy, str):
        paste.proxies = {"http": proxy, "https": proxy}
    if isinstance(options.get("--noproxy"), str) and _bypasses(options["--noproxy"], host):
        paste.proxies = {"http": None, "https": None}  # neither this one nor the environment's
    if "--max-time" in options:
        paste.max_time = _seconds("--max-time", options["--max-time"])
    if "--connect-timeout" in options:
        paste.connect_timeout = _seconds("--connect-timeout", options["--connect-timeout"])
    if options.get("--location"):
        paste.notes.append(
            "the pasted -L is not honoured: the review follows no redirect, so the session "
            f"stays with {host}"
        )
    method = options.get("--request")
    if isinstance(method, str) and method.upper() != "POST":
        paste.notes.append(
            f"the pasted -X {printable(method)} is not used: the review always POSTs"
        )


def _list_page(url: str) -> int | None:
    """The page number of the operation's list request to `url`, or None for another URL."""
    if not (url.startswith(_BEFORE_PAGE) and url.endswith(_AFTER_PAGE)):
        return None
    page = url[len(_BEFORE_PAGE) : len(url) - len(_AFTER_PAGE)]
    return int(page) if page.isdigit() and page.isascii() else None


def _bypasses(noproxy: str, host: str) -> bool:
    """Whether curl's --noproxy list names `host`: "*", the host, or a domain it is in."""
    for entry in noproxy.split(","):
        entry = entry.strip().lower().lstrip(".")
        if entry == "*" or (entry and (host == entry or host.endswith("." + entry))):
            return True
    return False


class _StopBeforeEdits(Exception):
    """Ends the operation at its first edit when none may be sent."""


class _Run:
    """One review: stands in for `requests` towards the operation."""

    def __init__(
        self,
        paste: _Paste,
        *,
        timeout: float,
        max_answer: int,
        dry_run: bool,
        confirm: Callable[[ReviewPlan], bool] | None,
        keep_unpass: bool,
        saved: Any,
    ) -> None:
        self.paste = paste
        self.timeout = min(timeout, paste.max_time or timeout)
        self.max_answer = max_answer
        self.confirm = confirm
        self.keep_unpass = keep_unpass
        self.saved = saved  # the module's requests before the run, for other threads
        self.thread = threading.get_ident()
        self.result = ReviewResult(dry_run=dry_run, notes=list(paste.notes))
        self.transport: Transport | None = None
        self.sent = 0
        self.pages: list[int] = []  # the pages read, in order
        self.counts: tuple[int, int] | None = None  # (itemCount, pageCount) of page 1
        self.where: dict[Any, int] = {}  # case id: the page it was listed on
        self.to_pass: list[dict[str, Any]] = []  # what the operation edits, in its order
        self.editing = False

    # The operation calls this as requests.request(**keywords).
    def request(self, **keywords: Any) -> Any:
        if threading.get_ident() != self.thread:  # not this review's call
            return self.saved.request(**keywords)
        url, method = keywords["url"], keywords["method"]
        headers, body = keywords.get("headers"), keywords.get("json")
        if self.transport is None:
            self.start()
        page = _list_page(url)
        if page is not None:
            return self.list_page(page, method, url, headers, body)
        if url == _review_urls.EDIT_URL:
            return self.edit(method, url, headers, body)
        raise ReviewError(f"the review operation asked for {url}, which it never sends to")

    def start(self) -> None:
        """Before the first request: the paste is the review's case-list request, for the API
        root this build sends to; then the session, as the paste asks for it."""
        url = self.paste.command.get("url")
        path = urllib.parse.urlsplit(url).path if isinstance(url, str) else ""
        found = re.fullmatch(r"(.*)/test/review/case/list/\d+/\d+/?", path)
        if found is None:
            shown = printable(url) if isinstance(url, str) else "none"
            raise PasteError(
                f"the pasted command is not a review's case-list request (its URL is {shown}); "
                + COPY_HINT
            )
        if found[1] != METERSPHERE_API_ROOT:
            pasted = printable(found[1]) or "/"
            raise PasteError(
                f"the pasted request's API root is {pasted}, but this build sends to "
                f"{METERSPHERE_API_ROOT} on {METERSPHERE_BASE}; to review on a server whose API "
                f"is at {pasted}, build for it: make install METERSPHERE_API_ROOT={pasted}"
            )
        self.transport = Transport(
            timeout=self.timeout,
            connect_timeout=self.paste.connect_timeout,
            max_answer=self.max_answer,
            verify=self.paste.verify,
            proxies=self.paste.proxies,
        )

    def send(self, what: str, method: str, url: str, headers: Any, body: Any) -> Answer:
        """The answer, JSON decoded; ReviewError when there is none the review may read."""
        assert self.transport is not None
        self.sent += 1
        try:
            answer = self.transport.send(method, url, headers, body)
        except TransportError as exc:
            raise ReviewError(f"{what}: {exc}") from None
        if 300 <= answer.status_code < 400:
            # Followed, it would take the session's headers elsewhere; v1 sends an expired
            # session to its login page this way.
            location = answer.location
            problem = f"redirected to {printable(location or '(no Location)')}, which the review "
            problem += "does not follow"
            login = urllib.parse.urlsplit(location or "").path.rstrip("/").endswith("/login")
            raise self.failure(what, url, answer, problem, session=login)
        if not answer.decode():
            raise self.failure(what, url, answer, "not JSON")
        message = answer.body.get("message") if isinstance(answer.body, dict) else None
        expired = isinstance(message, str) and (
            "401 UNAUTHORIZED" in message.upper() or "not found session" in message.lower()
        )
        if answer.status_code in (401, 403) or expired:
            raise self.failure(what, url, answer, session=True)
        return answer

    @staticmethod
    def failure(
        what: str, url: str, answer: Answer, problem: str = "", session: bool = False
    ) -> ReviewError:
        """The line for an answer the review cannot use: status, request, the server's words."""
        host = urllib.parse.urlsplit(url).netloc
        line = f"{what}: HTTP {answer.status_code} {answer.reason or ''}".rstrip()
        line += f" from {host}" + (f", {problem}" if problem else "")
        line += f": {_message(answer.body, answer)}"
        error = ReviewError(line + (f"; {SESSION_HINT}" if session else ""))
        error.turned_away = session  # type: ignore[attr-defined]  # nothing was done
        return error

    def list_page(self, page: int, method: str, url: str, headers: Any, body: Any) -> Answer:
        what = f"page {page} of the case list"
        answer = self.send(what, method, url, headers, body)
        listed = answer.body
        if not answer.ok or not isinstance(listed, dict) or listed.get("success") is not True:
            raise self.failure(what, url, answer, "the server did not list the cases")
        data = listed.get("data")
        cases = data.get("listObject") if isinstance(data, dict) else None
        if (
            not isinstance(data, dict)
            or not isinstance(cases, list)
            or not all(isinstance(case, dict) for case in cases)
        ):
            raise self.failure(what, url, answer, "no case list in the answer")
        self.check_page(page, data, cases)
        self.pages.append(page)
        self.result.cases += cases

        # The operation reads what it will edit; UnPass cases kept are left out of its list.
        if self.keep_unpass:
            kept = [case for case in cases if case.get("reviewStatus") == "UnPass"]
            if kept:
                self.result.kept += kept
                cases = [case for case in cases if case.get("reviewStatus") != "UnPass"]
                answer.body = {**listed, "data": {**data, "listObject": cases}}
        self.to_pass += cases
        return answer

    def check_page(self, page: int, data: dict[str, Any], cases: list[dict[str, Any]]) -> None:
        """The page must agree with the count page 1 gave, and hold new cases only."""

        def wrong(problem: str) -> ReviewError:
            return ReviewError(
                f"the case list does not add up: {problem}; no case was changed (if cases were "
                "being added or removed, run the review again)"
            )

        item_count, page_count = data.get("itemCount"), data.get("pageCount")
        if type(item_count) is not int or type(page_count) is not int:
            raise wrong(f"page {page} gives no itemCount and pageCount as numbers")
        if page == 1:
            pages = math.ceil(item_count / PAGE_SIZE)
            if item_count < 0 or (
                page_count != pages and not (item_count == 0 and page_count == 1)
            ):
                raise wrong(
                    f"page 1 counts {item_count} cases in {page_count} pages of {PAGE_SIZE}, "
                    f"where {pages} pages would hold them"
                )
            self.counts = (item_count, page_count)
        elif (item_count, page_count) != self.counts:
            first = self.counts or (0, 0)
            raise wrong(
                f"page 1 counted {first[0]} cases in {first[1]} pages, page {page} counts "
                f"{item_count} in {page_count}"
            )
        expected = min(PAGE_SIZE, item_count - PAGE_SIZE * (page - 1))
        if len(cases) != max(expected, 0):
            raise wrong(f"page {page} holds {len(cases)} cases, where {expected} were due")
        for case in cases:
            case_id = case.get("id")
            if not isinstance(case_id, (str, int)) or isinstance(case_id, bool):
                raise wrong(f"page {page} holds a case without an id ({case_name(case)})")
            if case_id in self.where:
                raise wrong(
                    f"case {printable(str(case_id))} is on page {self.where[case_id]} and "
                    f"page {page}"
                )
            self.where[case_id] = page

    def check_complete(self) -> None:
        """Every page was read, and the cases read are those counted."""
        item_count, page_count = self.counts or (0, 0)
        if self.pages != list(range(1, max(page_count, 1) + 1)) or len(self.where) != item_count:
            raise ReviewError(
                f"the case list does not add up: {len(self.where)} cases read on pages "
                f"{self.pages}, where page 1 counted {item_count} in {page_count} pages; no case "
                "was changed"
            )

    def before_edits(self) -> None:
        """At the first edit: the list adds up, and the caller agrees (or it is a dry run)."""
        self.check_complete()
        self.result.plan = self.plan()
        if self.result.dry_run:
            raise _StopBeforeEdits
        if self.confirm is not None and not self.confirm(self.result.plan):
            self.result.stopped = "cancelled"
            raise _StopBeforeEdits
        self.editing = True

    def plan(self) -> ReviewPlan:
        statuses: dict[str, int] = {}
        for case in self.result.cases:
            status = case.get("reviewStatus")
            key = status if isinstance(status, str) else "no status"
            statuses[key] = statuses.get(key, 0) + 1
        ordered = {s: statuses.pop(s) for s in STATUSES if s in statuses} | statuses
        body = self.paste.command.get("json")
        return ReviewPlan(
            server=METERSPHERE_BASE,
            review_id=body.get("reviewId") if isinstance(body, dict) else None,
            cases=self.result.cases,
            to_pass=self.to_pass,
            statuses=ordered,
            unpass=[c for c in self.result.cases if c.get("reviewStatus") == "UnPass"],
            notes=self.result.notes,
        )

    def edit(self, method: str, url: str, headers: Any, body: Any) -> Answer:
        if not self.editing:
            self.before_edits()
        done = len(self.result.passed) + len(self.result.refused) + len(self.result.waiting)
        if done >= len(self.to_pass):
            raise ReviewError("the review operation sent more edits than it listed cases")
        case = self.to_pass[done]
        what = f'the edit of case "{case_name(case)}"'
        self.result.unknown = case  # until its answer is judged
        try:
            answer = self.send(what, method, url, headers, body)
        except ReviewError as exc:
            if getattr(exc, "turned_away", False):  # the server turned the session away
                self.result.unknown = None
            raise
        edited = answer.body
        if not isinstance(edited, dict):
            raise self.failure(what, url, answer, "not a JSON object")
        if edited.get("success") is True:  # the operation's own test
            data = edited.get("data")
            status = data.get("status") if isinstance(data, dict) else None
            waits = isinstance(status, str) and status != "Pass"
            (self.result.waiting if waits else self.result.passed).append(case)
        else:
            self.result.refused.append((case, _message(edited, answer)))
        self.result.unknown = None
        return answer

    def finish(self) -> None:
        """The operation returned: with no edit sent, the list must still add up."""
        if not self.editing:
            self.check_complete()
            self.result.plan = self.plan()

    def close(self) -> None:
        if self.transport is not None:
            self.transport.close()


_one_at_a_time = threading.Lock()  # the operation's `requests` is one per process


def review(
    curl_text: str,
    *,
    timeout: float = 30.0,
    dry_run: bool = False,
    confirm: Callable[[ReviewPlan], bool] | None = None,
    keep_unpass: bool = False,
    max_answer: int = 64 * MiB,
) -> ReviewResult:
    """Sets every case of a MeterSphere review to Pass, from the curl command of its case list.

    curl_text: the review's case-list request, copied with "Copy as cURL" from a logged-in
    browser; it must come from this build's server (glimet_work.METERSPHERE_BASE) and name its
    review. timeout: seconds for each connection and for each whole answer. dry_run: read and
    check the list, change nothing. confirm: called with a ReviewPlan before the first edit; the
    review goes on only if it returns True. keep_unpass: leave UnPass cases as they are.
    max_answer: bytes an answer may hold.

    The list must add up (every page full but the last, no case twice, the counts the server
    gives) before any case is changed. Prints the review operation's lines on standard output.
    Returns a ReviewResult; raises ReviewError (PasteError when nothing was sent) with the line
    that says what went wrong, its `result` telling what was done before. After Ctrl-C the
    KeyboardInterrupt carries that line as a note.
    """
    if not 0 < timeout < math.inf:
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
    if type(max_answer) is not int or max_answer <= 0:
        raise ValueError(f"max_answer must be a positive int, not {max_answer!r}")
    paste = _read_paste(curl_text)
    with _one_at_a_time:
        saved = tervix_main.requests
        run = _Run(
            paste,
            timeout=timeout,
            max_answer=max_answer,
            dry_run=dry_run,
            confirm=confirm,
            keep_unpass=keep_unpass,
            saved=saved,
        )
        tervix_main.requests = run  # type: ignore[assignment]  # rebound for the run
        try:
            tervix_main.TERVIXWorkMain._tervix_test_case_review(curl_text)
            run.finish()
        except _StopBeforeEdits:
            pass
        except ReviewError as exc:
            run.result.stopped = str(exc)
            exc.result = run.result
            raise
        except KeyboardInterrupt as exc:
            run.result.stopped = "interrupted"
            exc.add_note(run.result.summary())
            exc.glimet_review_result = run.result  # type: ignore[attr-defined]
            raise
        except MemoryError:
            raise
        except Exception as exc:
            # Before any request only the paste can be at fault (another host's, say).
            message = " ".join(str(exc).split()) or type(exc).__name__
            run.result.stopped = message
            error = (PasteError if run.sent == 0 else ReviewError)(message, run.result)
            raise error from exc
        finally:
            tervix_main.requests = saved
            run.close()
    return run.result
