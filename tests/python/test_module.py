"""The module's surface: names, docstrings, signatures, classes, argument errors."""
import pathlib
import shutil
import subprocess
import sys
from importlib.metadata import distribution

import pytest

import corvex

PUBLIC = ["RawReader", "Spectrum", "SpectrumIter", "iter_spectra", "list_samples", "open_sample"]


def test_public_names_in_registration_order():
    assert corvex.__all__ == PUBLIC
    own = [name for name in vars(corvex) if not name.startswith("__")]
    assert own == PUBLIC
    assert corvex.__doc__ == ""


def test_star_import_gives_exactly_the_public_names():
    namespace = {}
    exec("from corvex import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(PUBLIC)


@pytest.mark.parametrize("function, signature, doc", [
    (corvex.list_samples, "(path)", None),
    (corvex.open_sample, "(path, sample)", None),
    (corvex.iter_spectra, "(path, sample=None)",
     "Decode spectra one at a time without buffering the whole acquisition."),
])
def test_function_signatures_and_docs(function, signature, doc):
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__module__ == "corvex"


@pytest.mark.parametrize("cls, doc, signature", [
    (corvex.RawReader, "", "(path)"),
    (corvex.Spectrum, "A complete vendor-neutral spectrum record. Peak arrays remain Python lists\n"
                      "for compatibility with the original native binding.", None),
    (corvex.SpectrumIter, "", None),
])
def test_classes_are_final_plain_types(cls, doc, signature):
    assert cls.__name__ == cls.__qualname__ == cls.__mro__[0].__name__
    assert "." not in cls.__name__
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)


@pytest.mark.parametrize("cls", [corvex.Spectrum, corvex.SpectrumIter])
def test_spectrum_classes_have_no_constructor(cls):
    with pytest.raises(TypeError):
        cls()


def test_classes_survive_reimport_unchanged():
    code = (
        "import sys, corvex\n"
        "first = corvex.RawReader\n"
        "del sys.modules['corvex']\n"
        "import corvex as again\n"
        "assert again is not corvex  # a new module object\n"
        "assert again.RawReader is first\n"
        "assert again.__all__ == " + repr(PUBLIC) + "\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)


@pytest.mark.parametrize("call, message", [
    (lambda: corvex.list_samples(), "list_samples() missing 1 required positional argument: 'path'"),
    (lambda: corvex.list_samples("a", "b"), "list_samples() takes 1 positional arguments but 2 were given"),
    (lambda: corvex.list_samples(pth="a"), "list_samples() got an unexpected keyword argument 'pth'"),
    (lambda: corvex.list_samples("a", path="b"), "list_samples() got multiple values for argument 'path'"),
    (lambda: corvex.open_sample("a"), "open_sample() missing 1 required positional argument: 'sample'"),
    (lambda: corvex.open_sample(),
     "open_sample() missing 2 required positional arguments: 'path' and 'sample'"),
    (lambda: corvex.open_sample(sample="s"), "open_sample() missing 1 required positional argument: 'path'"),
    (lambda: corvex.iter_spectra("a", "b", "c"),
     "iter_spectra() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: corvex.iter_spectra(), "iter_spectra() missing 1 required positional argument: 'path'"),
])
def test_argument_matching_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


class StrSubclass(str):
    pass


@pytest.mark.parametrize("value, message", [
    (pathlib.Path("run.wiff"), "'PosixPath' object is not an instance of 'str'"),
    (b"run.wiff", "'bytes' object is not an instance of 'str'"),
    (None, "'None' is not an instance of 'str'"),
    (3, "'int' object is not an instance of 'str'"),
])
def test_text_conversion_failures_carry_a_note(value, message):
    with pytest.raises(TypeError) as info:
        corvex.list_samples(value)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'path'"]


def test_second_parameter_note_names_it():
    with pytest.raises(TypeError) as info:
        corvex.open_sample("run.wiff", 5)
    assert info.value.__notes__ == ["while processing 'sample'"]


def test_lone_surrogate_keeps_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError) as info:
        corvex.list_samples("run\udc80.wiff")
    assert info.value.__notes__ == ["while processing 'path'"]


def test_str_subclass_and_keyword_are_accepted(tmp_path):
    missing = str(tmp_path / "missing.wiff")
    for call in (lambda: corvex.list_samples(StrSubclass(missing)), lambda: corvex.list_samples(path=missing)):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == "I/O error: No such file or directory (os error 2)"


# Every compiled module the distribution installs, by its import name.
EXTENSION_MODULES = {file.name.split(".")[0]: str(file.locate()) for file in distribution("corvex").files
                     if file.name.endswith(".so")}


def test_the_distribution_installs_both_extension_modules():
    assert set(EXTENSION_MODULES) >= {"corvex", "_native"}


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
@pytest.mark.parametrize("name", sorted(EXTENSION_MODULES))
def test_extension_module_exports_its_entry_point_only(name):
    listing = subprocess.run(["nm", "-D", "--defined-only", EXTENSION_MODULES[name]],
                             capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == [f"PyInit_{name}"]
