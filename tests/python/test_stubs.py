"""The type stubs shipped for corvex and corvex_tools._native: found by mypy, true to the modules.

An installed wheel puts corvex's in site-packages as the stub-only package
``corvex-stubs``, which mypy finds by itself, and corvex_tools (typed, with
``py.typed``) beside it; in a source checkout the tests point mypy at a copy
of the same file.
"""
import ast
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import corvex
import corvex_tools
from wifffixture import Acquisition, build, dda_sample

REPO_STUB = Path(__file__).resolve().parents[2] / "python" / "corvex-stubs" / "__init__.pyi"
# Names that exist for type checkers only.
TYPE_ONLY = ["CvTerm", "Precursor", "RunInfo", "InstrumentInfo", "Calibration", "Chromatogram",
             "ScanIndexRecord", "PolarityText", "ScanModeText", "AnalyzerText", "ActivationText",
             "MobilityArrayKindText"]


def installed_stub():
    """The stub file in this interpreter's site-packages, where mypy looks for it."""
    paths = sysconfig.get_paths()
    for directory in {paths["purelib"], paths["platlib"]}:
        candidate = Path(directory) / "corvex-stubs" / "__init__.pyi"
        if candidate.is_file():
            return candidate
    return None


@pytest.fixture(scope="module")
def stub_env(tmp_path_factory):
    """(stub file, environment in which mypy finds it)."""
    pytest.importorskip("mypy")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(corvex.__file__),
                                                       os.path.dirname(os.path.dirname(corvex_tools.__file__))]))
    stub = installed_stub()
    if stub is None:
        if not REPO_STUB.is_file():
            pytest.skip("corvex stubs neither installed nor in this checkout")
        directory = tmp_path_factory.mktemp("stubs")
        shutil.copy(REPO_STUB, directory / "corvex.pyi")
        env["MYPYPATH"] = str(directory)
        stub = REPO_STUB
    return stub, env


def mypy(args, env, cwd, timeout=300):
    return subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=timeout)


USAGE = """
    from typing import TYPE_CHECKING

    import corvex
    import corvex_tools
    import numpy as np
    import numpy.typing as npt

    if TYPE_CHECKING:
        from corvex import Precursor, RunInfo


    def survey_ids(path: str) -> list[str]:
        return [s.native_id for s in corvex.iter_spectra(path) if s.ms_level == 1]


    def describe(path: str, sample: str) -> str:
        reader: corvex.RawReader = corvex.open_sample(path, sample)
        info: RunInfo = reader.run_info()
        calibration = reader.calibration()
        slope = calibration["slope"] if calibration is not None else 1.0
        spectrum = reader.read_spectrum(reader.scan_count - 1)
        precursor: Precursor | None = spectrum.precursor
        mz = precursor["selected_mz"] if precursor is not None else None
        tic = reader.read_chromatograms()[0]["intensity"]
        offsets = [record["scan_offset"] for record in reader.scan_index()]
        polarity: str | None = spectrum.polarity
        return f"{info['instrument']['name']} {slope} {mz} {sum(tic)} {offsets} {polarity} {len(spectrum)}"


    def fragment_intensity(path: str) -> float:
        run: corvex_tools.Run = corvex_tools.open_run(path, sample=None)
        total = 0.0
        for position, mz, intensity in run.iter_peaks(ms_level=2, rt_range=(0.0, 60.0), threads=2):
            total += float(intensity.sum()) + position
        peaks: corvex_tools.Peaks = run.load(threads=2)
        first: npt.NDArray[np.float64] = peaks[0][0]
        fragments = run.spectra["ms_level"] == 2
        info: RunInfo = run.run_info()
        return total + float(peaks.total_ion_current.sum()) + float(first.sum()) + int(fragments.sum()) + len(info)
"""


def test_mypy_strict_accepts_typed_usage(stub_env, tmp_path):
    _, env = stub_env
    (tmp_path / "usage.py").write_text(textwrap.dedent(USAGE))
    result = mypy(["--strict", "usage.py"], env, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("line, complaint", [
    ("x: int = corvex.list_samples('run.wiff')", 'has type "list[str]"'),
    ("corvex.RawReader('run.wiff').run_info()['serial']", '"RunInfo" has no key "serial"'),
    ("corvex.RawReader('r').read_spectrum(0).mz = []", "read-only"),
    ("corvex_tools.open_run('r').peaks('0')", 'incompatible type "str"; expected "int"'),
    ("x: str = corvex_tools.open_run('r').scan_file_size", 'expression has type "int"'),
    ("for i, mz in corvex_tools.open_run('r').iter_peaks(): pass", "Too many values to unpack"),
])
def test_mypy_strict_rejects_misuse(stub_env, tmp_path, line, complaint):
    _, env = stub_env
    (tmp_path / "misuse.py").write_text("import corvex\nimport corvex_tools\n\n" + line + "\n")
    result = mypy(["--strict", "misuse.py"], env, tmp_path)
    assert result.returncode == 1 and complaint in result.stdout, result.stdout + result.stderr


def test_stubtest_finds_stub_and_module_in_agreement(stub_env, tmp_path):
    _, env = stub_env
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("".join(f"corvex.{name}\n" for name in TYPE_ONLY))
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "corvex", "--allowlist", str(allowlist)],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest_finds_the_engine_stub_and_module_in_agreement(stub_env, tmp_path):
    _, env = stub_env
    allowlist = tmp_path / "allowlist.txt"
    # Names for type checkers only: the dictionaries' layouts and the buffer objects' alias.
    allowlist.write_text("".join(f"corvex_tools._native.{name}\n"
                                 for name in ("RawColumns", "LoadedArrays", "CentroidDefaults", "Buffer")))
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "corvex_tools._native", "--allowlist",
                             str(allowlist)], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def typed_dict_keys(stub):
    tree = ast.parse(stub.read_text())
    return {node.name: [item.target.id for item in node.body if isinstance(item, ast.AnnAssign)]
            for node in tree.body
            if isinstance(node, ast.ClassDef) and any(getattr(b, "id", "") == "TypedDict" for b in node.bases)}


def test_typed_dicts_list_the_keys_the_module_returns(stub_env, tmp_path):
    stub, _ = stub_env
    keys = typed_dict_keys(stub)
    build(Acquisition(samples=[dda_sample("Sample1", cycles=2)]), tmp_path, "run")
    reader = corvex.RawReader(str(tmp_path / "run.wiff"))
    fragment = next(reader.read_spectrum(i) for i in range(reader.scan_count)
                    if reader.read_spectrum(i).precursor is not None)
    info = reader.run_info()
    returned = {
        "RunInfo": info, "CvTerm": info["instrument"], "InstrumentInfo": reader.instrument_info(),
        "Calibration": reader.calibration(), "Chromatogram": reader.read_chromatograms()[0],
        "ScanIndexRecord": reader.scan_index()[0], "Precursor": fragment.precursor,
    }
    assert sorted(keys) == sorted(returned)
    for name, value in returned.items():
        assert keys[name] == list(value), name


def test_corvex_tools_type_checks_strictly(stub_env, tmp_path):
    pytest.importorskip("psims")
    pytest.importorskip("tqdm")
    source = Path(__file__).resolve().parents[2] / "python" / "corvex_tools"
    if not source.is_dir():
        pytest.skip("corvex_tools sources not in this checkout")
    _, env = stub_env
    result = mypy(["--strict", str(source)], env, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_engine_typed_dicts_list_the_keys_the_module_returns(tmp_path):
    from corvex_tools import _native

    stub = Path(corvex_tools.__file__).with_name("_native.pyi")
    build(Acquisition(samples=[dda_sample("Sample1", cycles=1)]), tmp_path, "run")
    run = _native.open_run(str(tmp_path / "run.wiff"))
    returned = {"RawColumns": run.columns(), "LoadedArrays": run.load(run.select(None, None, None)),
                "CentroidDefaults": _native.centroid_defaults()}
    keys = typed_dict_keys(stub)
    assert sorted(keys) == sorted(returned)
    for name, value in returned.items():
        assert keys[name] == list(value), name
