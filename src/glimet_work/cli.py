"""The glimet-work command line: one subcommand per toolkit operation.

Each subcommand reads its input from a file argument or standard input (UTF-8), hands it to an
operation of a ``GlimetWorkMain`` and writes the result to standard output (always UTF-8).
Every failure is one line on standard error: bad input exits with status 2, a failure while a
review runs (or a case the server refused) with 1. Ctrl-C ends the command quietly: `main`
returns 130, and the program (`run`) then ends by SIGINT, as Python does on an interrupt.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import io
import json
import os
import re
import signal
import sys
import textwrap
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

import glimet_work
from glimet_work import METERSPHERE_API_ROOT, METERSPHERE_BASE, __version__
from glimet_work._env import near_prod, near_prod_hint
from glimet_work._review import PasteError, ReviewError, ReviewPlan, case_name, printable
from glimet_work._transport import MiB
from glimet_work.duty_main import GlimetWorkMain

PROG = "glimet-work"
INTERRUPTED = 130  # main's status after Ctrl-C, as shells report a program ended by SIGINT

Command = Callable[[argparse.Namespace, GlimetWorkMain], int]


class CommandError(Exception):
    """An expected failure: its message is printed on one line and the command exits."""

    def __init__(self, message: str, status: int = 2) -> None:
        super().__init__(message)
        self.status = status


class UsageError(CommandError):
    """A command line the parser refuses: one line naming the (sub)command, status 2."""

    def __init__(self, command: str, message: str) -> None:
        super().__init__(message)
        self.command = command


class OutputFailed(Exception):
    """Standard output could not take what was written (closed, full, or not UTF-8-able)."""


def _one_line(text: str) -> str:
    return " ".join(text.split())


def _describe(exc: BaseException) -> str:
    """The exception on one line: its type, then its message."""
    message = _one_line(str(exc))
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


MAX_INPUT = 1 << 30  # bytes read at most from a file or standard input, unless --max-input says
_CHUNK = 1 << 20
# The characters a value json.loads reads can begin with (NaN and Infinity too).
_JSON_STARTS = '{["-0123456789tfnNI'


def _read_text(file: str | None, limit: int = MAX_INPUT, starts: str | None = None) -> str:
    """The named file, or standard input for none or "-", decoded as UTF-8 (a BOM is dropped).

    Reads at most `limit` bytes, and stops at the first byte that is not UTF-8; with `starts`,
    also at a first character (after blanks) that is not one of those, as for JSON."""
    try:
        if file is None or file == "-":
            if sys.stdin is None:
                raise CommandError("no standard input to read")
            return _read_bounded(sys.stdin.buffer, "standard input", limit, starts)
        with open(file, "rb") as stream:
            return _read_bounded(stream, repr(file), limit, starts)
    except OSError as exc:
        source = "standard input" if file is None or file == "-" else repr(file)
        raise CommandError(f"cannot read {source}: {exc.strerror or _describe(exc)}") from None


def _read_bounded(stream: Any, source: str, limit: int, starts: str | None) -> str:
    decoder = codecs.getincrementaldecoder("utf-8")()
    pieces: list[str] = []
    read = 0
    while True:
        wanted = min(_CHUNK, limit + 1 - read)
        data = stream.read(wanted)
        # A short read is the end: a terminal gives its end once (Ctrl-D), then waits again.
        at_end = len(data) < wanted
        if read + len(data) > limit:
            raise CommandError(
                f"{source} holds more than {limit} bytes, more than is read (--max-input BYTES)"
            )
        # The bytes of a character split over two reads count from the first read.
        pending = len(decoder.getstate()[0])
        try:
            piece = decoder.decode(data, final=at_end)
        except UnicodeDecodeError as exc:
            at = read - pending + exc.start
            raise CommandError(f"{source} is not UTF-8 text (byte {at}: {exc.reason})") from None
        read += len(data)
        if not any(pieces):
            piece = piece.removeprefix("\ufeff")
        if starts is not None and (text := piece.lstrip(" \t\n\r")):
            if text[0] not in starts:
                raise CommandError(
                    f"invalid JSON: {source} begins with {text[0]!r} (U+{ord(text[0]):04X}), "
                    "which begins no JSON value"
                )
            starts = None
        pieces.append(piece)
        if at_end:
            return "".join(pieces)


def _json_kind(value: Any) -> str:
    """How a JSON value that is not an object is named in messages."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    return "an array" if isinstance(value, list) else "a string"


def _read_json(args: argparse.Namespace, *, want_object: bool) -> Any:
    """The JSON value of the input; with `want_object`, only a JSON object is accepted."""
    text = _read_text(args.file, args.max_input, _JSON_STARTS)
    try:
        value = json.loads(text)
    except (ValueError, RecursionError) as exc:
        raise CommandError(f"invalid JSON: {_one_line(str(exc))}") from None
    if want_object and not isinstance(value, dict):
        raise CommandError(f"expected a JSON object, got {_json_kind(value)}")
    return value


def _sign(args: argparse.Namespace, work: GlimetWorkMain) -> int:
    data = _read_json(args, want_object=True)
    signed = work._tervix_saas_sign(data, env=args.env, update_time=not args.keep_time)
    print(work._json_dumps(signed))
    return 0


def _sign_params(args: argparse.Namespace, work: GlimetWorkMain) -> int:
    params = _read_json(args, want_object=True)
    # The operation prints the signed text itself; the signed parameters follow it.
    work._tervix_saas_sign_params(params, env=args.env, update_time=not args.keep_time)
    print(work._json_dumps(params))
    return 0


def _json(args: argparse.Namespace, work: GlimetWorkMain) -> int:
    print(work._json_dumps(_read_json(args, want_object=False)))
    return 0


def _notice(args: argparse.Namespace, work: GlimetWorkMain) -> int:
    content = _read_text(args.file, args.max_input)
    if not content.strip():
        raise CommandError("the input is empty: give one '【title】http...' per line")
    work._tervix_test_production_demand(content)
    return 0


# The review: glimet_work.review does the work; this layer reads the paste, asks before the
# first edit on a terminal, and turns what came back into lines and an exit status.


def _ask_terminal(plan: ReviewPlan) -> bool:
    """The plan and the question before the first edit, on the terminal; True to go on."""
    for line in plan.describe():
        _report(f"{PROG} review: {line}")
    kept = len(plan.cases) - len(plan.to_pass)
    which = f"the {len(plan.to_pass)} cases not UnPass" if kept else f"all {len(plan.cases)} cases"
    review_id = printable(str(plan.review_id))
    sys.stderr.write(
        f"{PROG} review: set {which} of review {review_id} on {METERSPHERE_BASE} to Pass? [y/N] "
    )
    sys.stderr.flush()
    answer = ""
    try:
        answer = sys.stdin.readline()
    finally:  # what comes next starts a line of its own, after end of input or Ctrl-C too
        if not answer.endswith("\n"):
            sys.stderr.write("\n")
    return answer.strip().lower() in ("y", "yes")


def _review(args: argparse.Namespace, work: GlimetWorkMain) -> int:
    at_terminal = sys.stdin is not None and sys.stdin.isatty() and sys.stderr.isatty()
    if at_terminal and args.file in (None, "-"):
        _report(f"{PROG} review: paste the curl command, then press Ctrl-D")
    content = _read_text(args.file, args.max_input)
    confirm = _ask_terminal if at_terminal and not args.yes and not args.dry_run else None
    if isinstance(sys.stdout, _Output) and sys.stdout.isatty():
        sys.stdout.escape = True  # case names from the server must not drive the terminal
    try:
        result = glimet_work.review(
            content,
            timeout=args.timeout,
            dry_run=args.dry_run,
            confirm=confirm,
            keep_unpass=args.keep_unpass,
            max_answer=args.max_answer,
        )
    except ReviewError as exc:
        if exc.result is None or isinstance(exc, PasteError):
            raise CommandError(str(exc), exc.status) from None
        for note in exc.result.notes:
            _report(f"{PROG} review: note: {note}")
        _report(f"{PROG} review: error: {exc}")
        _report(f"{PROG} review: {exc.result.summary()}")
        return exc.status
    except KeyboardInterrupt as exc:
        stopped = getattr(exc, "glimet_review_result", None)
        if stopped is not None:
            _report(f"{PROG} review: {stopped.summary()}")
        raise

    for note in result.notes:
        _report(f"{PROG} review: note: {note}")
    if args.dry_run and result.plan is not None:
        for case in result.plan.to_pass:
            print(f"would pass: {case_name(case)}")
        for line in result.plan.describe():
            _report(f"{PROG} review: {line}")
    _report(f"{PROG} review: {result.summary()}")
    return 1 if result.refused or result.stopped else 0


_FILE_HELP = "input file (default: standard input; '-' reads standard input too)"
_ENV_HELP = (
    "environment: exactly 'prod' selects the production signing constant, every other value "
    "the default one (default: ''); a near miss such as 'PROD' or 'prod ' is refused"
)


class _Parser(argparse.ArgumentParser):
    """argparse's parser with its errors on one line, not a usage line and then the error."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(self.prog, message)


def _add_command(
    commands: Any, name: str, run: Command, summary: str, example: str, description: str = ""
) -> argparse.ArgumentParser:
    # The help keeps the example's lines as they are, so the prose is wrapped here.
    paragraphs = [textwrap.fill(text, 79) for text in (summary, description) if text]
    parser: argparse.ArgumentParser = commands.add_parser(
        name,
        help=summary,
        description="\n\n".join(paragraphs),
        epilog=f"example:\n{example}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.set_defaults(run=run)
    return parser


def _byte_count(text: str) -> int:
    found = re.fullmatch(r"(\d+)([KMG]?)", text.strip(), re.IGNORECASE)
    if not found or int(found[1]) == 0:
        raise argparse.ArgumentTypeError(
            f"not a positive number of bytes: {text!r} (such as 1048576, 64M or 2G)"
        )
    return int(found[1]) << {"": 0, "K": 10, "M": 20, "G": 30}[found[2].upper()]


def _add_input_arguments(parser: argparse.ArgumentParser) -> None:
    """FILE and --max-input, for a command that reads its input with _read_text."""
    parser.add_argument(
        "--max-input",
        type=_byte_count,
        default=MAX_INPUT,
        metavar="BYTES",
        help="refuse an input longer than this, as a number or with K, M or G (default: 1G)",
    )
    parser.add_argument("file", nargs="?", metavar="FILE", help=_FILE_HELP)


def _env(text: str) -> str:
    if near_prod(text):
        raise argparse.ArgumentTypeError(near_prod_hint(text))
    return text


def _add_signing_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--env", type=_env, default="", help=_ENV_HELP)
    parser.add_argument(
        "--keep-time",
        action="store_true",
        help="keep a saas_sign_timespan already in the input instead of stamping the current time",
    )


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    """The argument parser with its five subcommands."""
    parser = _Parser(
        prog=PROG,
        description="Testing chores from the terminal: SaaS signing, compact JSON, "
        "MeterSphere reviews and production-demand notices.",
        epilog=f"Run '{PROG} COMMAND --help' for a command's options and an example.",
        formatter_class=argparse.RawDescriptionHelpFormatter,  # the version on one line
    )
    parser.add_argument(
        "--version",
        action="version",
        version=f"{PROG} {__version__} (MeterSphere server: {METERSPHERE_BASE}, API root "
        f"{METERSPHERE_API_ROOT})",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    sign = _add_command(
        commands,
        "sign",
        _sign,
        "sign a request body (a JSON object) and print the signed body as JSON",
        f'  echo \'{{"page": 1, "name": "张三"}}\' | {PROG} sign --env prod',
    )
    _add_signing_options(sign)
    _add_input_arguments(sign)

    sign_params = _add_command(
        commands,
        "sign-params",
        _sign_params,
        "sign query parameters (a JSON object): print the signed text, then the signed "
        "parameters as JSON",
        f"  {PROG} sign-params --keep-time params.json",
    )
    _add_signing_options(sign_params)
    _add_input_arguments(sign_params)

    compact = _add_command(
        commands,
        "json",
        _json,
        "print any JSON value as compact JSON (non-ASCII kept)",
        f'  echo \'{{"名": [1, 2.5, null]}}\' | {PROG} json      # prints {{"名":[1,2.5,null]}}',
    )
    _add_input_arguments(compact)

    review = _add_command(
        commands,
        "review",
        _review,
        "pass every case of a MeterSphere review, from the curl command of its case-list "
        "request (copied from the browser's developer tools)",
        f"  {PROG} review case-list.curl",
        f"This copy talks to the MeterSphere server {METERSPHERE_BASE}, API root "
        f"{METERSPHERE_API_ROOT}, and only to it: a command copied from another host is refused "
        "before anything is sent, and no redirect is followed. It reads the review's case list, "
        "checks that the pages add up, then sets every case to Pass, one edit per case. On a "
        "terminal it shows the cases by status and asks before the first edit. It ends with a "
        "line on what happened on the server, and exits with 1 when a case was refused or the "
        "review stopped.",
    )
    review.add_argument(
        "--timeout",
        type=_seconds,
        default=30.0,
        metavar="SECONDS",
        help="how long to wait for a connection, and for each whole answer (default: 30)",
    )
    review.add_argument(
        "--max-answer",
        type=_byte_count,
        default=64 * MiB,
        metavar="BYTES",
        help="the most an answer may hold, e.g. 64M or 1G (default: 64M)",
    )
    review.add_argument("--yes", action="store_true", help="do not ask before changing cases")
    review.add_argument(
        "--dry-run",
        action="store_true",
        help="read the case list and list the cases that would be set to Pass; change nothing",
    )
    review.add_argument(
        "--keep-unpass",
        action="store_true",
        help="leave the cases a reviewer has failed (UnPass) as they are",
    )
    _add_input_arguments(review)

    notice = _add_command(
        commands,
        "notice",
        _notice,
        "print a numbered notice from a pasted production-demand list, one "
        "'【title】http...' per line",
        f"  printf '【登录优化】https://example.org/1\\n【导出修复】https://example.org/2\\n' "
        f"| {PROG} notice",
    )
    _add_input_arguments(notice)
    return parser


class _Output:
    """Standard output during a command: a write that fails raises OutputFailed, which nothing
    on the way mistakes for a failure of its own (requests' errors are OSErrors too). With
    `escape` set, control characters in what is written are shown escaped (print writes a
    line's end on its own, which stays)."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream
        self.escape = False

    def write(self, text: str) -> int:
        if self.escape and text != "\n":
            text = printable(text)
        try:
            written: int = self._stream.write(text)
        except (OSError, UnicodeEncodeError) as exc:
            raise OutputFailed(exc) from None
        return written

    def flush(self) -> None:
        try:
            self._stream.flush()
        except OSError as exc:
            raise OutputFailed(exc) from None

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def _report(line: str) -> None:
    """One line on standard error; if that fails too, the exit status alone tells."""
    with contextlib.suppress(AttributeError, OSError, ValueError):
        sys.stderr.write(line + "\n")
        sys.stderr.flush()


def _output_failure(exc: BaseException) -> str | None:
    """The message for a failed write to standard output; None when the reader went away."""
    if isinstance(exc, BrokenPipeError):
        return None
    if isinstance(exc, UnicodeEncodeError):
        character = exc.object[exc.start]
        return f"cannot write U+{ord(character):04X} to standard output: UTF-8 cannot carry it"
    return f"cannot write standard output: {getattr(exc, 'strerror', None) or _describe(exc)}"


def _use_utf8_output() -> None:
    """Standard output in UTF-8, line by line, whatever the locale says."""
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(encoding="utf-8", line_buffering=True)
    if isinstance(sys.stderr, io.TextIOWrapper):
        sys.stderr.reconfigure(encoding="utf-8", errors="backslashreplace")


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    # Results go to standard output and failures to standard error, never one for the other:
    # with standard error closed the status alone tells.
    if sys.stderr is None:
        return 2
    if sys.stdout is None:
        _report(f"{PROG}: error: standard output is closed; nothing was done")
        return 2
    _use_utf8_output()
    stdout, sys.stdout = sys.stdout, _Output(sys.stdout)
    command = PROG
    try:
        args = build_parser().parse_args(argv)
        command = f"{PROG} {args.command}"
        status: int = args.run(args, GlimetWorkMain())
        sys.stdout.flush()
        return status
    except UsageError as exc:
        _report(f"{exc.command}: error: {_one_line(str(exc))} (see '{exc.command} --help')")
        return exc.status
    except CommandError as exc:
        _report(f"{command}: error: {exc}")
        return exc.status
    except KeyboardInterrupt:
        return INTERRUPTED
    except OutputFailed as exc:
        failure = exc.args[0]
        message = _output_failure(failure)
        if isinstance(failure, OSError):
            # What stayed in the buffer must not fail again at exit: it goes nowhere.
            with contextlib.suppress(OSError, ValueError):
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, stdout.fileno())
                os.close(devnull)
        if message:
            _report(f"{command}: error: {message}")
        return 1
    except MemoryError:
        _report(f"{command}: error: out of memory")
        return 1
    except Exception as exc:  # noqa: BLE001 - a fault of ours, still one line, no traceback
        _report(f"{command}: error: {_describe(exc)}")
        return 1
    finally:
        sys.stdout = stdout


def run() -> None:
    """The glimet-work program: exits with main's status. After Ctrl-C it ends by SIGINT, as
    Python itself ends on an interrupt, so that a shell loop or xargs running it stops too."""
    status = main()
    if status == INTERRUPTED:
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(AttributeError, OSError, ValueError):
                stream.flush()
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    raise SystemExit(status)
