"""Import-time behaviour, each case in a fresh interpreter."""

import pathlib


def test_import_twice_gives_same_module(fresh):
    out = fresh(
        """
        import importlib
        from glimet_work import tervix_main as a
        b = importlib.import_module("glimet_work.tervix_main")
        from glimet_work import duty_main
        print(a is b, duty_main.TERVIXWorkMain is a.TERVIXWorkMain)
        """
    )
    assert out.split() == ["True", "True"]


def test_reimport_after_removal_gives_same_module(fresh):
    out = fresh(
        """
        import sys
        import glimet_work.duty_main as duty_1, glimet_work.tervix_main as tervix_1
        cls = tervix_1.TERVIXWorkMain
        del sys.modules["glimet_work.tervix_main"], sys.modules["glimet_work.duty_main"]
        import glimet_work.duty_main as duty_2, glimet_work.tervix_main as tervix_2
        print(duty_1 is duty_2, tervix_1 is tervix_2, tervix_2.TERVIXWorkMain is cls)
        """
    )
    assert out.split() == ["True", "True", "True"]


def test_missing_curl_module_fails_then_retry_succeeds(fresh):
    out = fresh(
        """
        import sys, traceback
        sys.modules["glimet_curl"] = None
        try:
            import glimet_work.duty_main
        except ModuleNotFoundError as error:
            names = [e.name for e in traceback.extract_tb(error.__traceback__)]
            print("failed", "init tervix_main" in names, "init duty_main" in names)
        print("glimet_work.tervix_main" in sys.modules, "glimet_work.duty_main" in sys.modules)
        del sys.modules["glimet_curl"]
        from glimet_work.duty_main import GlimetWorkMain
        print(GlimetWorkMain()._json_dumps([1]))
        """
    )
    assert out.split("\n")[:3] == ["failed True True", "False False", "[1]"]


def test_missing_attribute_gives_import_error(fresh):
    out = fresh(
        """
        import glimet_crypt
        del glimet_crypt.m_crypt
        try:
            import glimet_work.tervix_main
        except ImportError as error:
            print(type(error).__name__, error)
        """
    )
    assert out.strip() == "ImportError cannot import name m_crypt"


def test_duty_main_outside_package_fails(fresh):
    import glimet_work

    package = pathlib.Path(glimet_work.__file__).parent
    (path,) = package.glob("duty_main*.so")
    out = fresh(
        f"""
        import importlib.util
        spec = importlib.util.spec_from_file_location("duty_main", {str(path)!r})
        module = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(module)
        except ImportError as error:
            print(type(error).__name__, error)
        """
    )
    assert out.strip() == "ImportError attempted relative import with no known parent package"


def test_second_interpreter_gets_import_error(fresh):
    out = fresh(
        """
        import _interpreters
        import glimet_work.tervix_main
        interp = _interpreters.create()
        try:
            error = _interpreters.run_string(
                interp, "import glimet_work.tervix_main")
            print(error.type.__name__ if error else None, error.msg if error else "")
        finally:
            _interpreters.destroy(interp)
        """
    )
    assert out.startswith("ImportError")


def test_json_dumps_wrapped_before_import(fresh):
    # Tracing tools wrap json.dumps at start-up: a wrapper has no keyword-only defaults.
    out = fresh(
        """
        import functools, json
        calls = []
        original = json.dumps

        @functools.wraps(original)
        def traced(*args, **kwargs):
            calls.append(1)
            return original(*args, **kwargs)

        json.dumps = traced
        from glimet_work.duty_main import GlimetWorkMain
        print(GlimetWorkMain()._json_dumps({"a": [1]}), len(calls))
        """
    )
    assert out.split() == ['{"a":[1]}', "1"]
