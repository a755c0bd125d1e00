"""Timing that holds up on a shared, noisy machine. The calls being compared are timed in
turn, round after round, so a slow spell hits both sides of a round alike; each round gives
a ratio, and the median over the rounds is reported, with the median seconds per call."""

import statistics
import time


def _calls_per_sample(fn, arg, seconds=0.01):
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn(arg)
        if time.perf_counter() - start >= seconds:
            return number
        number *= 2


def _sample(fn, arg, number):
    start = time.perf_counter()
    for _ in range(number):
        fn(arg)
    return (time.perf_counter() - start) / number


class Comparison:
    """Seconds per call of each named (function, argument), timed in interleaved rounds."""

    def __init__(self, contenders, rounds=15):
        numbers = {name: _calls_per_sample(fn, arg) for name, (fn, arg) in contenders.items()}
        self.samples = {name: [] for name in contenders}
        for _ in range(rounds):
            for name, (fn, arg) in contenders.items():
                self.samples[name].append(_sample(fn, arg, numbers[name]))

    def seconds(self, name):
        return statistics.median(self.samples[name])

    def ratio(self, name, baseline):
        """Median over the rounds of name's time divided by baseline's."""
        return statistics.median(
            mine / base for mine, base in zip(self.samples[name], self.samples[baseline])
        )
