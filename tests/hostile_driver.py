"""Throws hostile objects at every operation; run as a script by test_hostile.py so that a crash
fails that test instead of killing the test run. Exits 0 when every call ended in a result or an
ordinary exception."""

import sys

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from glimet_crypt import m_crypt
from glimet_curl import m_curl
from glimet_work import METERSPHERE_BASE, tervix_main
from glimet_work.duty_main import GlimetWorkMain, TERVIXWorkMain

EXAMPLES = int(sys.argv[1]) if len(sys.argv) > 1 else 300
VICTIMS: list = []  # containers the hostile objects mutate while they are being read
ARMED = [False]  # hostile behaviour starts only once the example is built


class Hostile:
    """An object whose protocol methods misbehave in the way `mode` says."""

    def __init__(self, mode, payload=None):
        self.mode, self.payload = mode, payload

    def _act(self, fallback):
        if not ARMED[0]:
            return fallback
        if self.mode == "raise":
            raise RuntimeError("hostile")
        if self.mode == "wrong-type":
            return 12345
        if self.mode == "mutate":
            for victim in VICTIMS:
                if isinstance(victim, dict):
                    victim.clear()
                    victim[Hostile("raise")] = self
                elif isinstance(victim, list):
                    victim.clear()
                    victim.append(self)
            return fallback
        if self.mode == "exit":
            raise SystemExit(3)
        return fallback

    def __str__(self):
        return self._act("hostile")

    def __repr__(self):
        return self._act("Hostile()")

    def __format__(self, spec):
        return self._act("hostile")

    def __eq__(self, other):
        return self._act(False)

    def __hash__(self):
        result = self._act(7)
        return result if isinstance(result, int) else 7

    def __lt__(self, other):
        return self._act(True)

    def __gt__(self, other):
        return self._act(False)

    def __bool__(self):
        result = self._act(True)
        return result if isinstance(result, bool) else True

    def __len__(self):
        result = self._act(1)
        return result if isinstance(result, int) else 1


class HostileDict(dict):
    """A dict whose mapping methods misbehave."""

    mode = "raise"

    def _hostile(self):
        Hostile(self.mode)._act(None)

    def get(self, *args):
        self._hostile()
        return super().get(*args)

    def pop(self, *args):
        self._hostile()
        return super().pop(*args)

    def update(self, *args, **kwargs):
        self._hostile()
        return super().update(*args, **kwargs)

    def __iter__(self):
        self._hostile()
        return super().__iter__()

    def __getitem__(self, key):
        self._hostile()
        return super().__getitem__(key)


modes = st.sampled_from(["raise", "wrong-type", "mutate", "plain"])
texts = st.text(max_size=30) | st.sampled_from(
    ["\ud800", "x" * 100_000, "True&None&", "【a】http", "curl 'http://h' -H 'a: b'"]
)
keys = texts | st.integers() | st.builds(Hostile, modes) | st.none() | st.tuples(st.integers())
scalars = texts | st.integers() | st.floats() | st.booleans() | st.none() | st.builds(Hostile, modes)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(texts, inner, max_size=4),
    max_leaves=12,
)


def deep(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


@st.composite
def mappings(draw):
    kind = draw(st.sampled_from(["dict", "hostile", "deep", "not-a-dict"]))
    items = draw(st.dictionaries(keys, values, max_size=6))
    if kind == "dict":
        return dict(items)
    if kind == "hostile":
        mapping = HostileDict(items)
        mapping.mode = draw(modes)
        return mapping
    if kind == "deep":
        return {"a": deep(draw(st.sampled_from([10, 200, 5000])))}
    return draw(values)


class FakeResponse:
    def __init__(self, body, text="body"):
        self.body, self.text = body, text

    def json(self):
        if isinstance(self.body, Exception):
            raise self.body
        return self.body


class FakeRequests:
    """Answers the review's requests with the drawn bodies, a bounded number of times."""

    def __init__(self, bodies):
        self.bodies, self.calls = bodies, 0

    def request(self, **kwargs):
        self.calls += 1
        if self.calls > 50:
            raise RuntimeError("enough")
        return FakeResponse(self.bodies[self.calls % len(self.bodies)])


response_bodies = st.lists(
    st.one_of(
        values,
        st.builds(
            lambda count, cases: {"data": {"pageCount": count, "listObject": cases}},
            st.one_of(st.integers(-3, 4), st.none(), st.floats(), st.builds(Hostile, modes)),
            st.lists(st.dictionaries(st.sampled_from(["id", "name", "caseId"]), values), max_size=3)
            | values,
        ),
        st.just(ValueError("not JSON")),
        st.builds(lambda v: {"success": v}, values),
    ),
    min_size=1,
    max_size=4,
)


def attempt(call):
    try:
        call()
    except (Exception, SystemExit):  # any ordinary outcome is fine; a crash is not
        pass


@settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=list(HealthCheck),
    database=None,
)
@given(
    data=mappings(),
    env=st.one_of(texts, st.builds(Hostile, modes), st.just("prod")),
    update_time=st.one_of(st.booleans(), st.builds(Hostile, modes)),
    value=values,
    bodies=response_bodies,
    content=texts | st.builds(Hostile, modes) | values,
)
def check(data, env, update_time, value, bodies, content):
    work = GlimetWorkMain()
    VICTIMS[:] = [data] if isinstance(data, (dict, list)) else []
    ARMED[0] = True
    attempt(lambda: work._tervix_saas_sign(data, env, update_time))
    attempt(lambda: work._tervix_saas_sign(data=data, update_time=update_time))
    attempt(lambda: TERVIXWorkMain._tervix_saas_sign(work, data, env=env))
    attempt(lambda: work._tervix_saas_sign_params(data, env, update_time))
    attempt(lambda: work._json_dumps(value))
    attempt(lambda: work._json_dumps(data))
    attempt(lambda: work._tervix_test_production_demand(content))
    attempt(lambda: m_curl.parse(content).dict())
    attempt(lambda: m_crypt.sha256(content))
    saved = tervix_main.requests
    tervix_main.requests = FakeRequests(bodies)
    try:
        paste = f"curl '{METERSPHERE_BASE}/x' -H 'a: b' --data-raw '{{}}'"
        attempt(lambda: work._tervix_test_case_review(paste))
        attempt(lambda: work._tervix_test_case_review(content))
    finally:
        tervix_main.requests = saved
        ARMED[0] = False
    VICTIMS.clear()


if __name__ == "__main__":
    import contextlib
    import io

    # The operations print; what they print is not under test here.
    with contextlib.redirect_stdout(io.StringIO()):
        check()
    print("survived", EXAMPLES)
