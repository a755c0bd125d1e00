"""The classes as scripts see them: introspection, argument binding, traceback entries."""

import inspect
import pydoc
import traceback

import pytest

from glimet_work import duty_main, tervix_main
from glimet_work.duty_main import GlimetWorkMain, TERVIXWorkMain

SIGN_DOC = (
    "TERVIXWorkMain._tervix_saas_sign(self, data, env='', update_time=True)\n"
    "生成 SaaS 签名，并将签名添加到数据中。\n\n"
    ":param data: 需要签名的数据，字典类型\n"
    ":param env: 环境标识，默认为空字符串\n"
    ":param update_time: 是否更新时间戳，默认为 True\n"
    ":return: 包含签名后的数据字典"
)
PARAMS_DOC = (
    "TERVIXWorkMain._tervix_saas_sign_params(self, params, env='', update_time=True)\n"
    "生成 SaaS 签名，并将签名添加到参数中。\n\n"
    ":param params: 需要签名的参数，字典类型\n"
    ":param env: 环境标识，默认为空字符串\n"
    ":param update_time: 是否更新时间戳，默认为 True\n"
    ":return: 包含签名后的参数字典"
)
JSON_DOC = (
    "TERVIXWorkMain._json_dumps(data)\n将数据转换为 JSON 格式的字符串。\n\n"
    ":param data: 要转换的数据\n:return: JSON 格式的字符串"
)

# name, static, parameters, defaults, doc
OPERATIONS = [
    ("__init__", False, "(self)", None, "TERVIXWorkMain.__init__(self)"),
    ("_json_dumps", True, "(data)", None, JSON_DOC),
    ("_tervix_saas_sign", False, "(self, data, env='', update_time=True)", ("", True), SIGN_DOC),
    (
        "_tervix_saas_sign_params",
        False,
        "(self, params, env='', update_time=True)",
        ("", True),
        PARAMS_DOC,
    ),
    (
        "_tervix_test_case_review",
        True,
        "(content)",
        None,
        "TERVIXWorkMain._tervix_test_case_review(content)",
    ),
    (
        "_tervix_test_production_demand",
        True,
        "(content)",
        None,
        "TERVIXWorkMain._tervix_test_production_demand(content)",
    ),
]


def test_class_namespace_in_order():
    # type() keeps __qualname__ on the class itself, not in its namespace.
    assert TERVIXWorkMain.__qualname__ == "TERVIXWorkMain"
    assert list(TERVIXWorkMain.__dict__)[:8] == [
        "__module__",
        "__doc__",
        "__init__",
        "_json_dumps",
        "_tervix_saas_sign",
        "_tervix_saas_sign_params",
        "_tervix_test_case_review",
        "_tervix_test_production_demand",
    ]
    assert TERVIXWorkMain.__module__ == "tervix_main"
    assert TERVIXWorkMain.__doc__ == (
        "\n    TERVIX 类用于处理与 TERVIX 相关的操作，包括初始化、管理和签名生成。\n    "
    )
    assert TERVIXWorkMain.__bases__ == (object,) and type(TERVIXWorkMain) is type


def test_entry_class():
    assert GlimetWorkMain.__mro__ == (GlimetWorkMain, TERVIXWorkMain, object)
    assert GlimetWorkMain.__module__ == "duty_main"
    assert GlimetWorkMain.__qualname__ == "GlimetWorkMain"
    assert GlimetWorkMain.__doc__ is None
    assert duty_main.TERVIXWorkMain is tervix_main.TERVIXWorkMain
    assert set(GlimetWorkMain.__dict__) <= {"__module__", "__qualname__", "__doc__",
                                            "__dict__", "__weakref__"}
    work = GlimetWorkMain()
    assert isinstance(work, TERVIXWorkMain) and work.__dict__ == {}


def test_module_namespace_order(fresh):
    # In a fresh interpreter: other tests delete and put back the module's names, which moves
    # them to the end.
    names = fresh("""
        from glimet_work import duty_main, tervix_main
        for module in (tervix_main, duty_main):
            print(*[n for n in vars(module) if not n.startswith("__")])
    """)
    assert names.splitlines() == [
        "json time requests m_crypt m_curl TERVIXWorkMain",
        "TERVIXWorkMain GlimetWorkMain",
    ]


@pytest.mark.parametrize("name, static, params, defaults, doc", OPERATIONS)
def test_operation_introspection(name, static, params, defaults, doc):
    raw = TERVIXWorkMain.__dict__[name]
    function = raw.__func__ if static else raw
    assert isinstance(raw, staticmethod) is static
    assert function.__name__ == name
    assert function.__qualname__ == f"TERVIXWorkMain.{name}"
    assert function.__module__ == "tervix_main"
    assert function.__doc__ == doc
    assert function.__defaults__ == defaults
    assert function.__kwdefaults__ is None
    assert str(inspect.signature(getattr(TERVIXWorkMain, name))) == params
    assert repr(function).startswith(f"<function TERVIXWorkMain.{name} at 0x")
    kinds = {p.kind for p in inspect.signature(function).parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    function.__dict__["note"] = 1  # functions carry their own attribute dictionary
    assert function.note == 1
    del function.note


@pytest.mark.parametrize("cls", [TERVIXWorkMain, GlimetWorkMain])
def test_binding_through_instance(cls):
    work = cls()
    bound = work._tervix_saas_sign_params
    assert inspect.ismethod(bound) and bound.__self__ is work
    assert str(inspect.signature(bound)) == "(params, env='', update_time=True)"
    assert work._json_dumps is TERVIXWorkMain._json_dumps  # static: no instance bound
    assert not inspect.ismethod(work._tervix_test_production_demand)
    text = pydoc.render_doc(cls._tervix_saas_sign_params, renderer=pydoc.plaintext)
    assert "_tervix_saas_sign_params(self, params, env='', update_time=True)" in text
    assert "生成 SaaS 签名，并将签名添加到参数中。" in text


def _mirror():
    """A plain-Python class with the same qualified names and signatures: CPython's own
    argument binding, to compare error messages with."""

    class TERVIXWorkMain:
        def __init__(self):
            pass

        @staticmethod
        def _json_dumps(data):
            return "ok"

        def _tervix_saas_sign(self, data, env="", update_time=True):
            return "ok"

        def _tervix_saas_sign_params(self, params, env="", update_time=True):
            return "ok"

        @staticmethod
        def _tervix_test_case_review(content):
            return "ok"

    for name, value in vars(TERVIXWorkMain).items():
        function = getattr(value, "__func__", value)
        if callable(function):
            function.__qualname__ = f"TERVIXWorkMain.{name}"
    return TERVIXWorkMain


# (operation, through an instance?, args, kwargs)
BINDING_CASES = [
    ("_json_dumps", False, (), {}),
    ("_json_dumps", True, (1, 2), {}),
    ("_json_dumps", False, (1, 2, 3), {}),
    ("_json_dumps", False, (), {"dat": 1}),
    ("_json_dumps", False, (1,), {"data": 1}),
    ("_json_dumps", False, (), {"zzzzzz": 1}),
    ("_tervix_saas_sign", True, (), {}),
    ("_tervix_saas_sign", True, (1, 2, 3, 4), {}),
    ("_tervix_saas_sign", True, ({},), {"data": {}}),
    ("_tervix_saas_sign", False, ({},), {}),
    ("_tervix_saas_sign", False, (), {}),
    ("_tervix_saas_sign", False, (), {"env": "x"}),
    ("_tervix_saas_sign", True, (), {"self": 1}),
    ("_tervix_saas_sign", True, ({},), {"update_tme": False}),
    ("_tervix_saas_sign_params", True, (1, 2, 3, 4, 5), {"data": 1}),
    ("_tervix_saas_sign_params", False, (1,), {"self": 1, "params": 2}),
    ("_tervix_test_case_review", True, (), {}),
    ("_tervix_test_case_review", True, ("a",), {"content": "b"}),
]


@pytest.mark.parametrize("name, through_instance, args, kwargs", BINDING_CASES)
def test_binding_errors_match_cpython(name, through_instance, args, kwargs):
    mirror = _mirror()
    ours = getattr(TERVIXWorkMain() if through_instance else TERVIXWorkMain, name)
    theirs = getattr(mirror() if through_instance else mirror, name)
    with pytest.raises(TypeError) as expected:
        theirs(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        ours(*args, **kwargs)
    assert str(got.value) == str(expected.value)
    # A binding error adds the operation's entry and nothing else of ours.
    names = [entry.name for entry in traceback.extract_tb(got.value.__traceback__)]
    assert names[-1] == f"tervix_main.TERVIXWorkMain.{name}"


@pytest.mark.parametrize(
    "call",
    [
        lambda: TERVIXWorkMain(1),
        lambda: TERVIXWorkMain(x=1),
        lambda: GlimetWorkMain(1),
        lambda: TERVIXWorkMain()._json_dumps(**{"data": 1, "extra": 2}),
    ],
)
def test_constructor_and_keyword_errors(call):
    with pytest.raises(TypeError):
        call()


def test_keyword_names_must_be_strings():
    function = TERVIXWorkMain.__dict__["_json_dumps"].__func__
    with pytest.raises(TypeError, match="keywords must be strings"):
        function(**{1: 2})


class FoldedKeyword(str):
    """A keyword name that equals any spelling of its letters, by its own __eq__."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return str.lower(self) == str.lower(other)


class RefusingKeyword(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError("no comparison")


@pytest.mark.parametrize(
    "keyword", [FoldedKeyword("DATA"), FoldedKeyword("nothing"), RefusingKeyword("data")]
)
def test_keyword_names_compare_as_cpython_compares_them(keyword):
    # A keyword name of a str subclass is compared through its own __eq__.
    outcomes = []
    for cls in (_mirror(), TERVIXWorkMain):
        try:
            cls._json_dumps(**{keyword: [1]})
            outcomes.append("bound")
        except (TypeError, LookupError) as error:
            outcomes.append((type(error), str(error)))
    assert outcomes[1] == outcomes[0]


@pytest.mark.parametrize(
    "call, result",
    [
        (lambda w: w._json_dumps(data=[1]), "[1]"),
        (lambda w: TERVIXWorkMain._json_dumps([1]), "[1]"),
        (lambda w: w._tervix_saas_sign_params(params={}, update_time=False)["saas_sign"], str),
        (lambda w: w._tervix_saas_sign(env="prod", data={})["saas_sign"], str),
        (lambda w: w._tervix_saas_sign(data={}, env="prod")["saas_sign"], str),
        (lambda w: TERVIXWorkMain._tervix_saas_sign(self=w, data={})["saas_sign"], str),
        (lambda w: TERVIXWorkMain.__init__(w), None),
    ],
)
def test_accepted_bindings(call, result, capsys):
    got = call(TERVIXWorkMain())
    assert got == result if not isinstance(result, type) else type(got) is result
    capsys.readouterr()


def test_failure_adds_traceback_entry_naming_source():
    with pytest.raises(TypeError) as info:
        GlimetWorkMain()._json_dumps({1, 2})
    entries = traceback.extract_tb(info.value.__traceback__)
    ours = [e for e in entries if e.name.startswith("tervix_main.")]
    assert [e.name for e in ours] == ["tervix_main.TERVIXWorkMain._json_dumps"]
    assert ours[0].filename.startswith("tervix_main/") and ours[0].filename.endswith(".cpp")
    assert ours[0].lineno > 0
    # The encoder's own frames follow ours: the entry sits where the call was made.
    assert entries[-1].filename.endswith("encoder.py")
