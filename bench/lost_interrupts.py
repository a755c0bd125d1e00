"""Counts the Ctrl-C's that `glimet-work review` loses: each round starts a review against the
stand-in MeterSphere on 127.0.0.1, sends SIGINT right after one of its result lines (a little
later from round to round) and looks whether the review still ran to its end.

    ../.venv/bin/python lost_interrupts.py [ROUNDS] [--operation]

48 rounds by default; --operation runs the review operation alone instead of the command line.
Not a timing benchmark: it prints how many of the rounds' interrupts were lost.
"""

import pathlib
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from standin_metersphere import StandinMeterSphere, cli_command, operation_command  # noqa: E402

CASES = 12
# Seconds between reading the line and sending the signal, spent spinning: a sleep would let the
# review run on before the signal leaves.
DELAYS = [0, 25e-6, 50e-6, 100e-6, 200e-6, 400e-6]
RESULT_MARKS = ("评审通过", "【警告】评审失败")


def one_round(round_number, command_file, alone):
    """Interrupts one review (the operation `alone`, or the command line); returns whether it
    went on to the end regardless."""
    after_line = 1 + round_number % 3
    delay = DELAYS[round_number // 3 % len(DELAYS)]
    with StandinMeterSphere(cases=CASES) as server:
        command_file.write_text(server.curl_command(), encoding="utf-8")
        if alone:
            command = operation_command(server.origin, command_file)
        else:
            command = [*cli_command(server.origin), "review", str(command_file)]
        with subprocess.Popen(
            command,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        ) as process:
            try:
                results = 0
                for line in process.stdout:
                    results += line.decode("utf-8").startswith(RESULT_MARKS)
                    if results == after_line:
                        break
                until = time.perf_counter() + delay
                while time.perf_counter() < until:
                    pass
                process.send_signal(signal.SIGINT)
                process.communicate(timeout=60)
            finally:
                process.kill()
        return list(server.statuses().values()).count("Pass") == CASES


def main():
    alone = "--operation" in sys.argv
    numbers = [int(a) for a in sys.argv[1:] if a.isdigit()]
    rounds = numbers[0] if numbers else 48
    with tempfile.TemporaryDirectory() as scratch:
        command_file = pathlib.Path(scratch) / "case-list.curl"
        lost = sum(one_round(n, command_file, alone) for n in range(rounds))
    runner = "the review operation" if alone else "glimet-work review"
    print(f"{runner}: lost interrupts: {lost} of {rounds}")


if __name__ == "__main__":
    main()
