"""The module object: its attributes, classes, submodule and once-only initialisation."""

import pickle
import shutil
import subprocess
import sys
import weakref

import pytest

import modweave

CLASSES = ["DepNode", "DepGraph", "GraphBuilder"]


def test_all_lists_the_attributes_in_order():
    assert modweave.__all__ == ["DepNode", "DepGraph", "GraphBuilder", "parser"]
    assert modweave.parser.__all__ == ["parse"]


def test_attributes_are_added_in_order_after_all():
    names = list(vars(modweave))
    added = names[names.index("__all__") :]
    assert added[:5] == ["__all__", "DepNode", "DepGraph", "GraphBuilder", "parser"]


def test_module_docstring_is_empty():
    assert modweave.__doc__ == ""


def test_parser_is_a_plain_module_outside_the_registry():
    parser = modweave.parser
    assert type(parser) is type(sys)
    assert parser.__name__ == "parser"
    assert "parser" not in sys.modules or sys.modules["parser"] is not parser
    assert "modweave.parser" not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        __import__("modweave.parser")


def test_parse_is_a_builtin_bound_to_the_submodule():
    parse = modweave.parser.parse
    assert type(parse).__name__ == "builtin_function_or_method"
    assert parse.__name__ == "parse"
    assert parse.__module__ == "parser"
    assert parse.__self__ is modweave.parser
    assert parse.__text_signature__ == "(source)"
    assert parse.__doc__ is None


@pytest.mark.parametrize("name", CLASSES)
def test_classes_belong_to_the_module_under_their_plain_names(name):
    cls = getattr(modweave, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "modweave"


@pytest.mark.parametrize("name", ["DepNode", "DepGraph"])
def test_graph_classes_cannot_be_constructed(name):
    cls = getattr(modweave, name)
    assert cls.__doc__ is None
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls(1, key=2)


@pytest.mark.parametrize("name", CLASSES)
def test_classes_cannot_be_subclassed(name):
    cls = getattr(modweave, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_builder_instances_have_no_dict_or_weak_references():
    builder = modweave.GraphBuilder()
    with pytest.raises(AttributeError):
        builder.anything = 1
    assert not hasattr(builder, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(builder)


def test_builder_signature_and_doc():
    assert modweave.GraphBuilder.__text_signature__ == "(verbose=None)"
    # The doc text is the signature alone, so nothing is left as the docstring.
    assert not modweave.GraphBuilder.__doc__


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((None,), {}), ((False,), {}), ((True,), {}), ((), {"verbose": True}),
     ((), {"verbose": None})],
)
def test_builder_accepts_a_flag_or_none(args, kwargs):
    assert type(modweave.GraphBuilder(*args, **kwargs)) is modweave.GraphBuilder


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "argument 'verbose': 'int' object cannot be converted to 'bool'"),
        (("yes",), {}, "argument 'verbose': 'str' object cannot be converted to 'bool'"),
        ((), {"verbose": 0}, "argument 'verbose': 'int' object cannot be converted to 'bool'"),
        ((True, False), {}, "takes from 0 to 1 positional arguments but 2 were given"),
        ((), {"loud": True}, "got an unexpected keyword argument 'loud'"),
        ((True,), {"verbose": True}, "got multiple values for argument 'verbose'"),
    ],
)
def test_builder_rejects_bad_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        modweave.GraphBuilder(*args, **kwargs)
    assert message in str(caught.value)


def test_importing_again_returns_the_loaded_module():
    import importlib

    assert importlib.import_module("modweave") is modweave


def test_second_initialisation_in_one_process_fails(python):
    result = python(
        """
        import sys
        import modweave
        first = modweave
        del sys.modules["modweave"]
        try:
            import modweave
        except ImportError as error:
            print("ImportError:", error)
        else:
            print("imported again", modweave is first)
        """
    )
    assert result.stdout.startswith("ImportError:")
    assert "only be initialized once per interpreter process" in result.stdout


def test_panic_exception_is_reachable_and_survives_pickling():
    with pytest.raises(modweave.PanicException) as caught:
        modweave.GraphBuilder().build("from . import x")
    assert caught.type.__module__ == "modweave"
    assert not issubclass(modweave.PanicException, Exception)
    copy = pickle.loads(pickle.dumps(caught.value))
    assert type(copy) is modweave.PanicException
    assert copy.args == caught.value.args
    assert "PanicException" not in modweave.__all__


def test_import_under_warnings_as_errors(python):
    python("import modweave", flags=["-W", "error"])


def test_failed_first_initialisation_can_be_retried(python):
    result = python(
        """
        import sys
        sys.modules["logging"] = None  # the logging bridge cannot import it
        try:
            import modweave
        except BaseException as error:
            print("first:", type(error).__name__)
        del sys.modules["logging"]
        import modweave
        print("second:", modweave.parser.parse("import a")[0]["type"])
        """
    )
    assert result.stdout.splitlines() == ["first: PanicException", "second: import"]


SUBINTERPRETER_CONFIGS = {(3, 12): ["isolated=True", "isolated=False"],
                          (3, 13): ["'isolated'", "'legacy'"]}


@pytest.mark.parametrize("config", SUBINTERPRETER_CONFIGS.get(sys.version_info[:2], []))
def test_refused_subinterpreter_import_leaves_the_main_interpreter_free(python, config):
    result = python(
        f"""
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interpreter = interpreters.create({config})
        try:
            failure = interpreters.run_string(interpreter, "import modweave")
        except Exception as error:
            failure = error
        print("subinterpreter:", "ImportError" in str(failure))
        interpreters.destroy(interpreter)
        import modweave
        print("main:", modweave.parser.parse("import a")[0]["type"])
        """
    )
    assert result.stdout.splitlines() == ["subinterpreter: True", "main: import"]


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_the_only_exported_symbol_is_the_entry_point():
    output = subprocess.run(
        ["nm", "-D", "--defined-only", modweave.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in output.splitlines() if line.strip()]
    assert symbols == ["PyInit_modweave"]
