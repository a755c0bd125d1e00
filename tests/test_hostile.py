"""Hostile input never crashes the interpreter: the driver runs in its own process."""

import os
import pathlib
import subprocess
import sys

DRIVER = pathlib.Path(__file__).with_name("hostile_driver.py")
REFERENCE = pathlib.Path(__file__).parents[1] / "bench" / "_reference.py"
EXAMPLES = os.environ.get("GLIMET_FUZZ_EXAMPLES", "400")


def test_hostile_objects_get_exceptions_not_crashes():
    done = subprocess.run(
        [sys.executable, "-X", "dev", str(DRIVER), EXAMPLES],
        capture_output=True,
        text=True,
        timeout=1200,
    )
    assert done.returncode == 0, (done.returncode, done.stdout[-3000:], done.stderr[-3000:])
    assert done.stdout.strip() == f"survived {EXAMPLES}"


def test_planted_global_clearing_the_parameters_while_json_is_looked_up(fresh):
    # A key planted in the module's namespace on "json"'s probe chain runs its __eq__ when
    # `json` is looked up; it empties the caller's parameters. No entry may be read from freed
    # memory, and the outcome is the plain-Python rendering's: the next parameter is missing.
    out = fresh(
        """
        import builtins, importlib.util, json, sys
        from glimet_work import tervix_main
        from glimet_work.duty_main import GlimetWorkMain

        spec = importlib.util.spec_from_file_location("reference", REFERENCE)
        reference = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(reference)
        builtins.print = lambda *args, **kwargs: None

        def outcome(module, signer):
            class Clearing:
                armed = False
                def __hash__(self):
                    return hash("json")
                def __eq__(self, other):
                    if Clearing.armed:
                        Clearing.armed = False
                        params.clear()
                        [("y" * 40 + str(i)) for i in range(2000)]  # reuses what was freed
                    return False
            namespace = module.__dict__
            bound = namespace.pop("json")
            namespace[Clearing()] = 0
            namespace["json"] = bound
            params = {"k" * 30 + str(i): "v" * 30 + str(i) for i in range(50)}
            Clearing.armed = True
            try:
                signer._tervix_saas_sign_params(params)
                return "returned"
            except Exception as error:
                return f"{type(error).__name__} {error}"

        ours = outcome(tervix_main, GlimetWorkMain())
        sys.stdout.write(f"{ours == outcome(reference, reference.ReferenceWorkMain())} {ours}\\n")
        """.replace("REFERENCE", repr(str(REFERENCE)))
    )
    assert out.startswith("True KeyError"), out


def test_keys_sharing_every_prefix_length_sort_on_a_small_thread_stack(fresh):
    # Keys that split again at each of the 16 prefix bytes, ordered in a thread whose stack
    # is 64 KiB: the ordering needs little C stack however the keys nest.
    out = fresh(
        """
        import threading
        from glimet_work.duty_main import GlimetWorkMain

        keys = ["a" * depth + chr(c) + "z" for depth in range(16) for c in range(1, 300) if c != 97]
        body = dict.fromkeys(reversed(keys), 1)
        result = []
        threading.stack_size(64 * 1024)
        worker = threading.Thread(
            target=lambda: result.append(list(GlimetWorkMain()._tervix_saas_sign(body))[:-1]))
        worker.start()
        worker.join()
        print(result == [sorted(keys + ["saas_sign_timespan"])])
        """
    )
    assert out.strip() == "True"
