"""The package's functions: what the operations give, bound as Python binds, documented."""

import copy
import inspect
import traceback

import pytest

import glimet_work
from glimet_work import tervix_main
from glimet_work.duty_main import GlimetWorkMain, TERVIXWorkMain

from signing_helpers import BODY, PARAMS

NOTICE = "_tervix_test_production_demand"
# (function, operation, arguments, keywords); the operation is called on a GlimetWorkMain.
SAME = [
    ("sign", BODY, ({"b": True, "a": [1, None], "saas_sign": "old"},), {"env": "prod"}),
    ("sign", BODY, ({"saas_sign_timespan": "5", "名": "张三"}, ""), {"update_time": False}),
    ("sign", BODY, ({1: "x", "a": 2},), {}),
    ("sign_params", PARAMS, ({"名": "张三", "x": None, "saas_sign": 1},), {}),
    ("sign_params", PARAMS, ({"page": 1}, "prod", False), {}),
    ("sign_params", PARAMS, ({"a": 1, 2: 3},), {}),
    ("dumps", "_json_dumps", ({"名": [1, 2.5, None, (True,)]},), {}),
    ("dumps", "_json_dumps", ({1, 2},), {}),
    ("notice", NOTICE, ("【甲】http://a\r\n\n【乙】 http://b",), {}),
    ("notice", NOTICE, (5,), {}),
]


def outcome(function, args, kwargs, crypt):
    """What a call gives: its result (or exception), the arguments after it, what it hashed
    and printed; and the names of its traceback's entries."""
    crypt.calls.clear()
    crypt.printed.clear()
    args = copy.deepcopy(args)
    try:
        result = function(*args, **kwargs)
        entries = []
    except Exception as exc:  # noqa: BLE001 - compared, not handled
        result = (type(exc), str(exc))
        entries = [entry.name for entry in traceback.extract_tb(exc.__traceback__)[1:]]
    same_object = any(result is arg for arg in args)
    return (result, same_object, args, list(crypt.calls), list(crypt.printed)), entries


@pytest.mark.parametrize("name, operation, args, kwargs", SAME)
def test_gives_what_the_operation_gives(name, operation, args, kwargs, crypt):
    ours, our_entries = outcome(getattr(glimet_work, name), args, kwargs, crypt)
    theirs, their_entries = outcome(getattr(GlimetWorkMain(), operation), args, kwargs, crypt)
    assert ours == theirs
    # A failure names the function where the operation names itself.
    their_name = f"tervix_main.TERVIXWorkMain.{operation}"
    assert our_entries == [e.replace(their_name, f"glimet_work.{name}") for e in their_entries]


@pytest.mark.parametrize("echo, printed", [(True, True), (False, False), (0, False), ("y", True)])
def test_echo_prints_the_signed_text_or_nothing(echo, printed, crypt):
    params = glimet_work.sign_params({"page": 1}, echo=echo)
    (((text, _), _),) = crypt.calls  # sha256(text, "upper")
    assert crypt.printed == ([((text,), {})] if printed else [])
    assert params["saas_sign"] == "SIG1"
    # The operation itself prints whatever was asked of the function.
    GlimetWorkMain()._tervix_saas_sign_params({"page": 1})
    assert crypt.printed[-1] == ((text,), {})


class FakeJson:
    @staticmethod
    def dumps(*args, **kwargs):
        return f"fake {len(args)} {sorted(kwargs)}"


@pytest.mark.parametrize("rebound", [FakeJson, None])
def test_json_looked_up_in_tervix_main(rebound):
    def run(function):
        try:
            return function([1])
        except NameError as exc:
            return str(exc)

    namespace = vars(tervix_main)
    saved = dict(namespace)
    try:
        if rebound:
            namespace["json"] = rebound
        else:
            del namespace["json"]
        assert run(glimet_work.dumps) == run(TERVIXWorkMain._json_dumps)
        assert run(glimet_work.dumps) in (
            "fake 1 ['ensure_ascii', 'separators']",
            "name 'json' is not defined",
        )
    finally:  # the namespace as it was, in its order too
        namespace.clear()
        namespace.update(saved)


# The Python functions whose binding the package's functions reproduce.
def sign(data, env="", update_time=True): ...
def sign_params(params, env="", update_time=True, *, echo=True): ...
def dumps(value): ...
def notice(text): ...


REFERENCE = {f.__name__: f for f in (sign, sign_params, dumps, notice)}
BAD_CALLS = [
    ("sign", (), {}),
    ("sign", ({}, "", True, 1), {}),
    ("sign", ({},), {"data": {}}),
    ("sign", ({},), {"update": 1}),
    ("sign_params", ({}, "", True, False), {}),
    ("sign_params", ({}, "", True, False), {"echo": 1}),
    ("sign_params", ({}, "", True, False, 5), {"echo": 1}),
    ("sign_params", ({},), {"ech": 1}),
    ("sign_params", (), {"echo": False, "env": ""}),
    ("dumps", (), {"data": 1}),
    ("notice", ("a", "b"), {}),
]


@pytest.mark.parametrize("name, args, kwargs", BAD_CALLS)
def test_binding_errors_read_as_python_functions(name, args, kwargs):
    with pytest.raises(TypeError) as ours:
        getattr(glimet_work, name)(*args, **kwargs)
    with pytest.raises(TypeError) as python:
        REFERENCE[name](*args, **kwargs)
    assert str(ours.value) == str(python.value)


@pytest.mark.parametrize("name", ["sign", "sign_params", "dumps", "notice"])
def test_introspection(name):
    function = getattr(glimet_work, name)
    python = REFERENCE[name]
    assert inspect.signature(function) == inspect.signature(python)
    assert (function.__defaults__, function.__kwdefaults__) == (
        python.__defaults__,
        python.__kwdefaults__,
    )
    assert (function.__name__, function.__qualname__, function.__module__) == (
        name,
        name,
        "glimet_work",
    )
    first, *rest = function.__doc__.split("\n")
    assert first == f"{name}{inspect.signature(python)}" and len(rest) >= 2
    assert "GlimetWorkMain" in function.__doc__  # names the operation it stands for
    assert name in glimet_work.__all__ and name in dir(glimet_work)


def test_toolkit_namespaces_unchanged(fresh):
    # In a fresh interpreter: other tests delete and put back the module's names, which moves
    # them to the end.
    names = fresh("""
        import glimet_work
        from glimet_work import tervix_main
        glimet_work.sign({})
        print(*[n for n in vars(tervix_main) if not n.startswith("__")])
    """)
    assert names.split() == ["json", "time", "requests", "m_crypt", "m_curl", "TERVIXWorkMain"]
    assert [n for n in vars(TERVIXWorkMain) if not n.startswith("__") or n == "__init__"] == [
        "__init__",
        "_json_dumps",
        BODY,
        PARAMS,
        "_tervix_test_case_review",
        NOTICE,
    ]
