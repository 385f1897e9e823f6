"""The conventions every quillon function follows: binding, conversion,
results and errors, the module's attributes and the import guard."""

import ctypes
import inspect
import os
import random
import subprocess
import sys

import pytest

import quillon
from models import gguf, onnx, safetensors_u8

# name -> parameters, in registration order.
FUNCTIONS = {
    "embed_manifest": ("model", "store"),
    "embed_manifest_remote": ("model", "uri"),
    "embed_manifest_both": ("model", "uri", "store"),
    "read_manifest": ("model",),
    "read_manifest_uri": ("model",),
    "remove_manifest": ("model",),
    "detect_format": ("model",),
    "model_type": ("model",),
}
MANIFEST_FUNCTIONS = [name for name in FUNCTIONS if name not in ("detect_format", "model_type")]
SUMMARIES = {
    "embed_manifest": "Embed a C2PA Manifest Store into a model, auto-detecting the format.",
    "embed_manifest_remote": "Embed a remote manifest URI into a model, auto-detecting the format.",
    "embed_manifest_both": "Embed both a Manifest Store and a remote URI into a model.",
    "read_manifest": "Read the embedded C2PA Manifest Store from a model.",
    "read_manifest_uri": "Read the remote manifest URI from a model, or `None` if absent.",
    "remove_manifest": "Remove any C2PA metadata from a model.",
    "detect_format": 'Detect the container format: `"GGUF"`, `"SafeTensors"`, `"ONNX"`, or `None`.',
    "model_type": "The canonical `c2pa.types.model.*` asset type string for the model's format,\n"
    "or `None` if the format is unrecognized.",
}
VALID = {"model": gguf(), "uri": "https://example.com/manifest.c2pa", "store": b"\x00store\xff"}
UNRECOGNIZED = "unrecognized ML model container format"


def valid_arguments(name):
    return [VALID[parameter] for parameter in FUNCTIONS[name]]


def outcome(function, *args, **kwargs):
    """The call's result, or the type and arguments of what it raised."""
    try:
        return "returned", function(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        return type(error), error.args


def raises_type_error(function, *args, **kwargs):
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert type(caught.value) is TypeError
    return str(caught.value)


# --- the module -------------------------------------------------------------

def test_module_holds_the_eight_functions_and_all():
    assert quillon.__all__ == list(FUNCTIONS)
    public = {name for name in vars(quillon) if not name.startswith("__")}
    assert public == set(FUNCTIONS)
    assert {name for name in vars(quillon) if name.startswith("__")} <= {
        "__all__", "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__",
    }
    assert quillon.__doc__ == ""
    assert quillon.__name__ == "quillon"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_documented_builtins_of_the_module(name):
    function = getattr(quillon, name)
    assert inspect.isbuiltin(function)
    assert function.__name__ == name
    assert function.__module__ == "quillon"
    assert function.__self__ is quillon
    assert function.__text_signature__ == "(" + ", ".join(FUNCTIONS[name]) + ")"
    assert function.__doc__ == SUMMARIES[name]
    parameters = inspect.signature(function).parameters
    assert tuple(parameters) == FUNCTIONS[name]
    for parameter in parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("quillon")
    try:
        import quillon as again  # noqa: PLC0415 - the import is the test

        assert again is first
        assert again.__all__ == list(FUNCTIONS)  # registered once, not twice
    finally:
        sys.modules["quillon"] = first


SUBINTERPRETER_SCRIPT = """
import sys
sys.path.insert(0, {directory!r})
import quillon
try:
    import _testcapi
except ImportError:
    sys.exit(77)
code = '''
import sys
sys.path.insert(0, {directory!r})
try:
    import quillon
    outcome = "imported"
except ImportError as error:
    outcome = "ImportError: " + str(error)
with open({result!r}, "w") as out:
    out.write(outcome)
'''
sys.exit(_testcapi.run_in_subinterp(code))
"""


def test_import_from_a_subinterpreter_raises_import_error(tmp_path):
    result = tmp_path / "outcome.txt"
    script = SUBINTERPRETER_SCRIPT.format(
        directory=os.path.dirname(quillon.__file__), result=str(result)
    )
    process = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    if process.returncode == 77:
        pytest.skip("_testcapi is not available")
    assert process.returncode == 0, process.stderr
    outcome_text = result.read_text()
    assert outcome_text.startswith("ImportError: ")
    assert "sub-interpreter" in outcome_text


# --- argument binding -------------------------------------------------------

@pytest.mark.parametrize("name, args, kwargs, expected", [
    *[(name, (b"",) * given, {}, f"{name}() takes {len(parameters)} positional arguments but {given} were given")
      for name, parameters in FUNCTIONS.items() for given in (len(parameters) + 1, len(parameters) + 2)],
    *[(name, (), {}, f"{name}() missing 1 required positional argument: 'model'")
      for name, parameters in FUNCTIONS.items() if parameters == ("model",)],
    ("embed_manifest", (), {}, "embed_manifest() missing 2 required positional arguments: 'model' and 'store'"),
    ("embed_manifest_both", (), {},
     "embed_manifest_both() missing 3 required positional arguments: 'model', 'uri', and 'store'"),
    ("embed_manifest_both", (b"",), {}, "embed_manifest_both() missing 2 required positional arguments: 'uri' and 'store'"),
    ("embed_manifest_both", (), {"uri": ""},
     "embed_manifest_both() missing 2 required positional arguments: 'model' and 'store'"),
    ("embed_manifest_both", (b"", ""), {}, "embed_manifest_both() missing 1 required positional argument: 'store'"),
    ("embed_manifest_remote", (), {"model": b""}, "embed_manifest_remote() missing 1 required positional argument: 'uri'"),
    # Keywords are checked before missing parameters are counted.
    *[(name, args, {key: value}, f"{name}() got an unexpected keyword argument '{key}'") for name in FUNCTIONS
      for args, key, value in [(valid_arguments(name), "extra", 1), ((), "extra", 1), ((), "Model", b"")]],
    *[(name, valid_arguments(name)[:index + 1], {parameter: valid_arguments(name)[index]},
       f"{name}() got multiple values for argument '{parameter}'")
      for name in FUNCTIONS for index, parameter in enumerate(FUNCTIONS[name])],
    # The first offending keyword decides.
    ("embed_manifest", (b"",), {"extra": 1, "model": b""}, "embed_manifest() got an unexpected keyword argument 'extra'"),
    ("embed_manifest", (b"",), {"model": b"", "extra": 1}, "embed_manifest() got multiple values for argument 'model'"),
])
def test_binding_errors(name, args, kwargs, expected):
    assert raises_type_error(getattr(quillon, name), *args, **kwargs) == expected


@pytest.mark.parametrize("name", FUNCTIONS)
def test_keyword_names_must_be_strings(name):
    # Python code cannot pass such a dictionary; C code can.
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    with pytest.raises(TypeError) as caught:
        call(getattr(quillon, name), (), {1: b""})
    assert str(caught.value) == f"{name}() keywords must be strings"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_keywords_in_any_order_equal_positional(name):
    function = getattr(quillon, name)
    parameters = FUNCTIONS[name]
    arguments = valid_arguments(name)
    expected = outcome(function, *arguments)
    by_name = dict(zip(parameters, arguments))
    assert outcome(function, **by_name) == expected
    assert outcome(function, **dict(reversed(list(by_name.items())))) == expected
    assert outcome(function, arguments[0], **dict(list(by_name.items())[1:])) == expected


# --- argument conversion ----------------------------------------------------

class Bytes(bytes):
    pass


class Text(str):
    pass


class NamelessMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


Nameless = NamelessMeta("Nameless", (), {})


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("value, type_name", [
    (bytearray(b"GGUF"), "bytearray"),
    (memoryview(b"GGUF"), "memoryview"),
    ("GGUF", "str"),
    (7, "int"),
    (None, "NoneType"),
    (Nameless(), "<failed to extract type name>"),
])
def test_model_must_be_bytes(name, value, type_name):
    arguments = valid_arguments(name)
    arguments[0] = value
    assert raises_type_error(getattr(quillon, name), *arguments) == (
        f"argument 'model': '{type_name}' object cannot be converted to 'PyBytes'"
    )


@pytest.mark.parametrize("name, arguments, reported", [
    ("embed_manifest_both", (1, 2, 3), "argument 'model': 'int' object cannot be converted to 'PyBytes'"),
    ("embed_manifest_both", (b"", 2, 3), "argument 'uri': 'int' object cannot be converted to 'PyString'"),
    ("embed_manifest_both", (b"", "u", "s"), "argument 'store': 'str' object cannot be converted to 'PyBytes'"),
    ("embed_manifest_both", (b"", b"u", b"s"), "argument 'uri': 'bytes' object cannot be converted to 'PyString'"),
    ("embed_manifest_remote", (b"", b"u"), "argument 'uri': 'bytes' object cannot be converted to 'PyString'"),
    ("embed_manifest_remote", (1, b"u"), "argument 'model': 'int' object cannot be converted to 'PyBytes'"),
    ("embed_manifest", (b"", bytearray()), "argument 'store': 'bytearray' object cannot be converted to 'PyBytes'"),
    ("embed_manifest", (b"", memoryview(b"")), "argument 'store': 'memoryview' object cannot be converted to 'PyBytes'"),
])
def test_conversions_run_in_parameter_order(name, arguments, reported):
    assert raises_type_error(getattr(quillon, name), *arguments) == reported
    # By keyword, in reverse order, the same argument is reported.
    by_name = dict(zip(FUNCTIONS[name], arguments))
    assert raises_type_error(getattr(quillon, name), **dict(reversed(list(by_name.items())))) == reported


@pytest.mark.parametrize("name", ["embed_manifest_remote", "embed_manifest_both"])
def test_unencodable_uri_raises_the_encoding_error_unchanged(name):
    arguments = valid_arguments(name)
    arguments[1] = "https://example.com/\ud800"
    with pytest.raises(UnicodeEncodeError) as caught:
        getattr(quillon, name)(*arguments)
    assert caught.value.encoding == "utf-8"
    assert caught.value.object == arguments[1]
    assert "argument" not in str(caught.value)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_subclasses_are_accepted(name):
    function = getattr(quillon, name)
    plain = valid_arguments(name)
    wrap = {"model": Bytes, "store": Bytes, "uri": Text}
    derived = [wrap[parameter](value) for parameter, value in zip(FUNCTIONS[name], plain)]
    assert outcome(function, *derived) == outcome(function, *plain)


# --- detection ----------------------------------------------------------------

@pytest.mark.parametrize("model, display_name, asset_type", [
    (b"", None, None),
    (b"GGUF", "GGUF", "c2pa.types.model"),
    (b"GGUF" + b"\xff" * 40, "GGUF", "c2pa.types.model"),
    (b"GGU", None, None),
    (bytes(8), None, None),
    (gguf(), "GGUF", "c2pa.types.model"),
    (safetensors_u8(), "SafeTensors", "c2pa.types.model"),
    (b"\x02\x00\x00\x00\x00\x00\x00\x00\x20{", "SafeTensors", "c2pa.types.model"),
    (b"\x02\x00\x00\x00\x00\x00\x00\x00\x0b{", None, None),
    (onnx(), "ONNX", "c2pa.types.model.onnx"),
    (b"\x08\x07", "ONNX", "c2pa.types.model.onnx"),
    (b"\x10\x07", None, None),
])
def test_detection(model, display_name, asset_type):
    assert quillon.detect_format(model) == display_name
    assert quillon.model_type(model) == asset_type
    assert quillon.detect_format(Bytes(model)) == display_name


def test_detection_never_raises():
    generator = random.Random(20240607)
    asset_types = {None: None, "GGUF": "c2pa.types.model", "SafeTensors": "c2pa.types.model",
                   "ONNX": "c2pa.types.model.onnx"}
    for _ in range(2000):
        model = generator.randbytes(generator.randrange(0, 64))
        display_name = quillon.detect_format(model)
        assert display_name in asset_types
        assert quillon.model_type(model) == asset_types[display_name]


# --- results and library errors ---------------------------------------------

@pytest.mark.parametrize("name", MANIFEST_FUNCTIONS)
@pytest.mark.parametrize("model", [b"", b"not a model", b"GGU", bytes(8)])
def test_unrecognized_model_raises_value_error(name, model):
    arguments = valid_arguments(name)
    arguments[0] = model
    with pytest.raises(ValueError) as caught:
        getattr(quillon, name)(*arguments)
    # Nothing but the message: no `kind`, unlike quillon_files' errors.
    assert (type(caught.value), vars(caught.value)) == (ValueError, {})
    assert caught.value.args == (UNRECOGNIZED,)
    assert caught.value.__cause__ is None


def test_read_manifest_without_store_raises(any_model):
    _, model = any_model
    with pytest.raises(ValueError) as caught:
        quillon.read_manifest(model)
    assert caught.value.args == ("no C2PA manifest found in model",)
    assert quillon.read_manifest_uri(model) is None


@pytest.mark.parametrize("embed, arguments, store, uri", [
    ("embed_manifest", (b"\x00c2pa\xff",), b"\x00c2pa\xff", None),
    ("embed_manifest", (b"",), b"", None),
    ("embed_manifest_remote", ("https://example.com/m.c2pa",), None, "https://example.com/m.c2pa"),
    ("embed_manifest_remote", ("",), None, ""),
    ("embed_manifest_remote", ("https://例え.jp/ü",), None, "https://例え.jp/ü"),
    ("embed_manifest_both", ("https://example.com/m", b"\x01\x02"), b"\x01\x02", "https://example.com/m"),
])
def test_embedded_data_reads_back(any_model, embed, arguments, store, uri):
    _, model = any_model
    original = bytes(model)
    stamped = getattr(quillon, embed)(model, *arguments)
    assert type(stamped) is bytes
    assert stamped is not model
    assert model == original
    if store is None:
        with pytest.raises(ValueError):
            quillon.read_manifest(stamped)
    else:
        assert quillon.read_manifest(stamped) == store
    assert quillon.read_manifest_uri(stamped) == uri
    stripped = quillon.remove_manifest(stamped)
    assert type(stripped) is bytes and stripped is not stamped
    assert quillon.read_manifest_uri(stripped) is None
    assert quillon.remove_manifest(model) is not model
    assert quillon.detect_format(stripped) == quillon.detect_format(model)


def test_large_result_is_written_whole():
    # Big enough that the new object's buffer spans several huge pages, with
    # a data length that is not a multiple of any page size.
    data = bytes(range(256)) * (5 * 4096) + b"tail"
    model = safetensors_u8(data)
    stamped = quillon.embed_manifest(model, b"store")
    assert stamped.endswith(data)
    assert quillon.read_manifest(stamped) == b"store"
    assert quillon.remove_manifest(stamped).endswith(data)
