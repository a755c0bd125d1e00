"""The glimet-work command line: one subcommand per toolkit operation.

Each subcommand reads its input from a file argument or standard input (UTF-8), hands it to an
operation of a ``GlimetWorkMain`` and writes the result to standard output (always UTF-8).
Bad input is reported on one line of standard error with exit status 2, a failure while a
review runs with status 1, and Ctrl-C ends the command quietly with status 130.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from glimet_work import tervix_main
from glimet_work.duty_main import GlimetWorkMain

PROG = "glimet-work"

Command = Callable[[argparse.Namespace, GlimetWorkMain], None]


class CommandError(Exception):
    """An expected failure: its message is printed on one line and the command exits."""

    def __init__(self, message: str, status: int = 2) -> None:
        super().__init__(message)
        self.status = status


def _one_line(text: str) -> str:
    return " ".join(text.split())


def _describe(exc: BaseException) -> str:
    """The exception on one line: its type, then its message."""
    message = _one_line(str(exc))
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


def _read_text(file: str | None) -> str:
    """The named file, or standard input for none or "-", decoded as UTF-8 (a BOM is dropped)."""
    try:
        if file is None or file == "-":
            source = "standard input"
            if sys.stdin is None:
                raise CommandError("no standard input to read")
            data = sys.stdin.buffer.read()
        else:
            source = repr(file)
            data = Path(file).read_bytes()
    except OSError as exc:
        raise CommandError(f"cannot read {source}: {exc.strerror or _describe(exc)}") from None
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise CommandError(f"{source} is not UTF-8 text (byte {exc.start}: {exc.reason})") from None


def _json_kind(value: Any) -> str:
    """How a JSON value that is not an object is named in messages."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    return "an array" if isinstance(value, list) else "a string"


def _read_json(file: str | None, *, want_object: bool) -> Any:
    """The JSON value of the input; with `want_object`, only a JSON object is accepted."""
    text = _read_text(file)
    try:
        value = json.loads(text)
    except (ValueError, RecursionError) as exc:
        raise CommandError(f"invalid JSON: {_one_line(str(exc))}") from None
    if want_object and not isinstance(value, dict):
        raise CommandError(f"expected a JSON object, got {_json_kind(value)}")
    return value


def _sign(args: argparse.Namespace, work: GlimetWorkMain) -> None:
    data = _read_json(args.file, want_object=True)
    signed = work._tervix_saas_sign(data, env=args.env, update_time=not args.keep_time)
    print(work._json_dumps(signed))


def _sign_params(args: argparse.Namespace, work: GlimetWorkMain) -> None:
    params = _read_json(args.file, want_object=True)
    # The operation prints the signed text itself; the signed parameters follow it.
    work._tervix_saas_sign_params(params, env=args.env, update_time=not args.keep_time)
    print(work._json_dumps(params))


def _json(args: argparse.Namespace, work: GlimetWorkMain) -> None:
    print(work._json_dumps(_read_json(args.file, want_object=False)))


def _review(args: argparse.Namespace, work: GlimetWorkMain) -> None:
    content = _read_text(args.file)
    # Reading the command first tells a bad paste (status 2) from a failing review (status 1);
    # the reader is the one the operation uses, and it sends nothing.
    try:
        tervix_main.m_curl.parse(content).dict()
    except Exception as exc:  # noqa: BLE001 - whatever the reader rejects is a bad paste
        raise CommandError(f"cannot read the curl command: {_describe(exc)}") from None
    try:
        work._tervix_test_case_review(content)
    except BrokenPipeError:
        raise
    except Exception as exc:  # noqa: BLE001 - any failure of the review is reported alike
        raise CommandError(f"the review failed: {_describe(exc)}", status=1) from None


def _notice(args: argparse.Namespace, work: GlimetWorkMain) -> None:
    work._tervix_test_production_demand(_read_text(args.file))


_FILE_HELP = "input file (default: standard input; '-' reads standard input too)"
_ENV_HELP = (
    "environment: 'prod' selects the production signing constant, anything else the default one"
)


def _add_command(
    commands: Any, name: str, run: Command, summary: str, example: str
) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        name,
        help=summary,
        description=summary,
        epilog=f"example:\n{example}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.set_defaults(run=run)
    return parser


def _add_signing_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--env", default="", help=_ENV_HELP + " (default: '')")
    parser.add_argument(
        "--keep-time",
        action="store_true",
        help="keep a saas_sign_timespan already in the input instead of stamping the current time",
    )


def build_parser() -> argparse.ArgumentParser:
    """The argument parser with its five subcommands."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Testing chores from the terminal: SaaS signing, compact JSON, "
        "MeterSphere reviews and production-demand notices.",
        epilog=f"Run '{PROG} COMMAND --help' for a command's options and an example.",
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
    sign.add_argument("file", nargs="?", metavar="FILE", help=_FILE_HELP)

    sign_params = _add_command(
        commands,
        "sign-params",
        _sign_params,
        "sign query parameters (a JSON object): print the signed text, then the signed "
        "parameters as JSON",
        f"  {PROG} sign-params --keep-time params.json",
    )
    _add_signing_options(sign_params)
    sign_params.add_argument("file", nargs="?", metavar="FILE", help=_FILE_HELP)

    compact = _add_command(
        commands,
        "json",
        _json,
        "print any JSON value as compact JSON (non-ASCII kept)",
        f'  echo \'{{"名": [1, 2.5, null]}}\' | {PROG} json      # prints {{"名":[1,2.5,null]}}',
    )
    compact.add_argument("file", nargs="?", metavar="FILE", help=_FILE_HELP)

    review = _add_command(
        commands,
        "review",
        _review,
        "pass every case of a MeterSphere review, from the curl command of its case-list "
        "request (copied from the browser's developer tools)",
        f"  {PROG} review case-list.curl",
    )
    review.add_argument("file", nargs="?", metavar="FILE", help=_FILE_HELP)

    notice = _add_command(
        commands,
        "notice",
        _notice,
        "print a numbered notice from a pasted production-demand list, one "
        "'【title】http...' per line",
        f"  printf '【登录优化】https://example.org/1\\n【导出修复】https://example.org/2\\n' "
        f"| {PROG} notice",
    )
    notice.add_argument("file", nargs="?", metavar="FILE", help=_FILE_HELP)
    return parser


def _use_utf8_output() -> None:
    """Standard output in UTF-8, line by line, whatever the locale says."""
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(encoding="utf-8", line_buffering=True)
    if isinstance(sys.stderr, io.TextIOWrapper):
        sys.stderr.reconfigure(encoding="utf-8", errors="backslashreplace")


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    _use_utf8_output()
    args = build_parser().parse_args(argv)
    try:
        args.run(args, GlimetWorkMain())
    except CommandError as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return exc.status
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (`| head`): silence the final flush as well.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 1
    return 0
