"""Many Python threads on one RawReader or one corvex_tools.Run, several streams
at once, iterators dropped early, and exit and fork with streams still running.

On an interpreter with a global lock every call is serialised, so a reader
shared between threads must give each of them exactly what a single thread
gets, and the access flag must never refuse a call: "Already borrowed" and
"Already mutably borrowed" are legitimate for read_chromatograms only where
calls really overlap (a free-threaded interpreter).
"""
import gc
import os
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import corvex
import corvex_tools
from corvex_tools.centroid import CentroidParameters
from wifffixture import Acquisition, build, dda_sample

SPECTRUM_PROPERTIES = [n for n in vars(corvex.Spectrum) if not n.startswith("__")]
TESTS_DIR = str(Path(__file__).resolve().parents[1])
MODULE_DIR = os.pathsep.join([str(Path(corvex.__file__).resolve().parent),
                            os.path.dirname(os.path.dirname(corvex_tools.__file__))])
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


WATCHDOG_SECONDS = 120
pytestmark = pytest.mark.usefixtures("watchdog")


@pytest.fixture
def fast_switching():
    # Hand the interpreter lock over as often as possible.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


@pytest.fixture(scope="module")
def dda(tmp_path_factory):
    # 100 cycles of 4 scans: enough records that building the scan index
    # allocates past the interpreter's free lists and can start a collection.
    directory = tmp_path_factory.mktemp("dda")
    return build(Acquisition(samples=[dda_sample(cycles=100, points_per_scan=8, seed=3)]), directory)


def fields(spectrum):
    return {name: getattr(spectrum, name) for name in SPECTRUM_PROPERTIES}


def snapshot(reader):
    return {
        "spectra": [fields(reader.read_spectrum(i)) for i in range(reader.scan_count)],
        "run_info": reader.run_info(),
        "scan_index": reader.scan_index(),
        "chromatograms": reader.read_chromatograms(),
        "instrument_info": reader.instrument_info(),
        "calibration": reader.calibration(),
        "ion_source_parameters": reader.ion_source_parameters(),
        "dde_precursor_mz": reader.dde_precursor_mz(),
        "scan_count": reader.scan_count,
        "sample_name": reader.sample_name,
        "repr": repr(reader),
    }


def run_threads(targets, timeout=90):
    threads = [threading.Thread(target=t, daemon=True) for t in targets]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + timeout
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "threads still running"


def run_python(script, *args, timeout=60):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, TESTS_DIR]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env=env)


class SlowIndex:
    """An index whose conversion runs Python code that lets other threads in."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0.0002)
        return self.value


@pytest.mark.parametrize("provocation", ["plain", "slow-index", "collector-callback"])
def test_threads_sharing_a_reader_see_what_one_thread_sees(dda, fast_switching, provocation):
    # "slow-index" and "collector-callback" run Python code inside the calls
    # (an argument's __index__, a garbage collection started by the objects a
    # call builds) that releases the interpreter lock; another thread's call
    # then starts while the first is still inside the reader.
    reader = corvex.RawReader(str(dda.wiff_path))
    baseline = snapshot(reader)
    assert baseline["scan_count"] == 400
    n = reader.scan_count
    failures = []
    mismatches = []

    def guard(name, call, expected):
        try:
            got = call()
        except RuntimeError as error:
            if not (FREE_THREADED and str(error) in BORROW_ERRORS and name == "read_chromatograms"):
                failures.append((name, str(error)))
            return
        if got != expected:
            mismatches.append(name)

    def spectra(offset):
        def body():
            for k in range(150):
                i = (offset * 37 + k * 11) % n
                index = SlowIndex(i) if provocation == "slow-index" else i
                guard("read_spectrum", lambda: fields(reader.read_spectrum(index)), baseline["spectra"][i])
        return body

    def metadata():
        for _ in range(40):
            guard("run_info", reader.run_info, baseline["run_info"])
            guard("scan_index", reader.scan_index, baseline["scan_index"])
            guard("instrument_info", reader.instrument_info, baseline["instrument_info"])
            guard("dde_precursor_mz", reader.dde_precursor_mz, baseline["dde_precursor_mz"])
            guard("repr", lambda: repr(reader), baseline["repr"])

    def chromatograms():
        for _ in range(60):
            guard("read_chromatograms", reader.read_chromatograms, baseline["chromatograms"])

    def yielding_callback(phase, info):
        time.sleep(0.0001)

    old_threshold = gc.get_threshold()
    if provocation == "collector-callback":
        gc.set_threshold(50)
        gc.callbacks.append(yielding_callback)
    try:
        run_threads([spectra(0), spectra(1), metadata, metadata, chromatograms, chromatograms])
    finally:
        if provocation == "collector-callback":
            gc.callbacks.remove(yielding_callback)
        gc.set_threshold(*old_threshold)
    assert failures == []
    assert mismatches == []
    assert snapshot(reader) == baseline


def test_several_streams_at_once_give_identical_spectra(dda, fast_switching):
    path = str(dda.wiff_path)
    reader = corvex.RawReader(path)
    reference = [fields(reader.read_spectrum(i)) for i in range(reader.scan_count)]
    results = {}

    def consume(key):
        def body():
            results[key] = [fields(s) for s in corvex.iter_spectra(path)]
        return body

    # Four streams on their own threads, plus three interleaved on this one.
    threads = [threading.Thread(target=consume(k), daemon=True) for k in range(4)]
    for thread in threads:
        thread.start()
    interleaved = [corvex.iter_spectra(path, "Sample1") for _ in range(3)]
    collected = [[] for _ in interleaved]
    for _ in range(400):
        for it, out in zip(interleaved, collected):
            out.append(fields(next(it)))
    for it in interleaved:
        with pytest.raises(StopIteration):
            next(it)
    for thread in threads:
        thread.join(90)
    assert not any(t.is_alive() for t in threads)
    assert sorted(results) == [0, 1, 2, 3]
    for stream in list(results.values()) + collected:
        assert stream == reference


STREAMS = {
    "iter_spectra": (lambda path: corvex.iter_spectra(path), lambda spectrum: spectrum.index),
    "iter_peaks": (lambda path: corvex_tools.open_run(path).iter_peaks(), lambda item: item[0]),
}


@pytest.mark.parametrize("stream", list(STREAMS))
def test_one_stream_consumed_by_several_threads_loses_and_repeats_nothing(dda, fast_switching, stream):
    # A __next__ that meets another one waiting is refused, never queued: the
    # refused thread retries. Every spectrum reaches exactly one thread, and
    # each thread sees its spectra in stream order.
    make, position = STREAMS[stream]
    it = make(str(dda.wiff_path))
    received = {k: [] for k in range(4)}
    refusals = []

    def consume(key):
        def body():
            while True:
                try:
                    spectrum = next(it)
                except StopIteration:
                    return
                except RuntimeError as error:
                    refusals.append(str(error))
                    time.sleep(0)
                    continue
                received[key].append(position(spectrum))
        return body

    run_threads([consume(k) for k in range(4)])
    assert set(refusals) <= {"Already borrowed"}
    everything = sorted(i for got in received.values() for i in got)
    assert everything == list(range(400))
    for got in received.values():
        assert got == sorted(got)


EXIT_SCRIPT = r"""
import sys, threading, time, corvex
path, mode = sys.argv[1], sys.argv[2]
reader = corvex.RawReader(path)
started = threading.Barrier(7)

def shared_reader():
    started.wait()
    while True:
        reader.run_info(); reader.read_chromatograms(); reader.read_spectrum(5).mz

def stream_forever():
    started.wait()
    while True:
        for spectrum in corvex.iter_spectra(path):
            spectrum.intensity

def shared_stream(it):
    started.wait()
    while True:
        try:
            for spectrum in it:
                pass
        except RuntimeError:
            pass

common = corvex.iter_spectra(path)
workers = [threading.Thread(target=shared_reader, daemon=True) for _ in range(2)]
workers += [threading.Thread(target=stream_forever, daemon=True) for _ in range(2)]
workers += [threading.Thread(target=shared_stream, args=(common,), daemon=True) for _ in range(2)]
for worker in workers:
    worker.start()
# Iterators left half-read in globals and in a cycle with a thread object.
held = [corvex.iter_spectra(path) for _ in range(3)]
for it in held:
    next(it)
cycle = [held, threading.current_thread()]
cycle.append(cycle)
started.wait()
time.sleep(0.2)
print("exiting", flush=True)
if mode == "sys.exit":
    sys.exit(0)
if mode == "exit-from-thread":
    # The main thread returns while a non-daemon thread ends the run.
    finisher = threading.Thread(target=lambda: (time.sleep(0.1), next(held[0])))
    finisher.start()
"""


@pytest.mark.parametrize("mode", ["fall-off", "sys.exit", "exit-from-thread"])
def test_interpreter_exit_with_streams_and_readers_busy_on_threads(dda, mode):
    result = run_python(EXIT_SCRIPT, dda.wiff_path, mode, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, "exiting\n", "")


# ---------------------------------------------------------------------------
# corvex_tools.Run: one run shared by threads, peak iterators dropped early,
# exit and fork with decoding threads running.
# ---------------------------------------------------------------------------

def os_threads():
    return set(os.listdir("/proc/self/task"))


def columns(run):
    """The columns as plain values; floats as bits, so that NaN equals NaN."""
    return {name: (column.view(np.uint64) if column.dtype == np.float64 else column).tolist()
            for name, column in run.spectra.items()}


# A centroid almost per point of the fixture's scattered points.
PERMISSIVE = CentroidParameters(min_snr=0.0, min_points=1, single_point_peaks=True)


def array_snapshot(run):
    """Everything a Run gives, as plain values."""
    return {
        "spectra": columns(run),
        "peaks": [(mz.tolist(), intensity.tolist()) for mz, intensity in (run.peaks(i) for i in range(len(run)))],
        "centroids": [(mz.tolist(), intensity.tolist())
                      for mz, intensity in (run.peaks(i, centroid=PERMISSIVE) for i in range(len(run)))],
        "run_info": run.run_info(), "scan_index": run.scan_index(), "chromatograms": run.read_chromatograms(),
        "dde": run.dde_precursor_mz(), "ion_source": run.ion_source_parameters(),
    }


def test_threads_sharing_a_run_see_what_one_thread_sees(dda, fast_switching):
    run = corvex_tools.open_run(str(dda.wiff_path))
    baseline = array_snapshot(run)
    loaded = run.load()
    mismatches = []

    def check(name, got, want):
        if got != want:
            mismatches.append(name)

    # Threads asking for profile peaks and for centroids share the run's
    # cached workspaces.
    def single_spectra(offset, centroid=False):
        snapshot = "centroids" if centroid else "peaks"

        def body():
            for k in range(120):
                i = (offset * 37 + k * 11) % len(run)
                mz, intensity = run.peaks(i, centroid=centroid)
                check(snapshot, (mz.tolist(), intensity.tolist()), baseline[snapshot][i])
        return body

    def streams():
        for ms_level in (None, 1, 2):
            for i, mz, intensity in run.iter_peaks(ms_level=ms_level, threads=2):
                check("iter_peaks", (mz.tolist(), intensity.tolist()), baseline["peaks"][i])
        for i, mz, intensity in run.iter_peaks(threads=2, centroid=PERMISSIVE):
            check("iter_peaks centroids", (mz.tolist(), intensity.tolist()), baseline["centroids"][i])

    def loads():
        for threads in (1, 3):
            again = run.load(threads=threads)
            check("load", (again.offsets.tolist(), again.mz.tolist(), again.intensity.tolist()),
                  (loaded.offsets.tolist(), loaded.mz.tolist(), loaded.intensity.tolist()))
            picked = run.load(threads=threads, centroid=PERMISSIVE)
            check("load centroids", [(mz.tolist(), intensity.tolist()) for _, mz, intensity in picked],
                  baseline["centroids"])

    def metadata():
        for _ in range(20):
            check("spectra", columns(run), baseline["spectra"])
            check("run_info", run.run_info(), baseline["run_info"])
            check("chromatograms", run.read_chromatograms(), baseline["chromatograms"])

    run_threads([single_spectra(0), single_spectra(1), single_spectra(2, centroid=PERMISSIVE),
                 streams, streams, loads, metadata])
    assert mismatches == []
    assert array_snapshot(run) == baseline


@pytest.mark.parametrize("taken", [0, 1, 150])
def test_dropped_peak_iterators_stop_their_threads(dda, taken):
    run = corvex_tools.open_run(str(dda.wiff_path))
    before = os_threads()
    started = time.monotonic()
    for _ in range(20):
        iterator = run.iter_peaks(threads=4)
        for _ in range(taken):
            next(iterator)
        assert len(os_threads() - before) <= 4
        del iterator
        # The iterator's threads are joined when it goes.
        assert os_threads() - before == set()
    assert time.monotonic() - started < 30


ARRAY_EXIT_SCRIPT = r"""
import os, sys, threading, time, corvex_tools
path, mode = sys.argv[1], sys.argv[2]
run = corvex_tools.open_run(path)
started = threading.Barrier(4)

def stream_forever():
    started.wait()
    while True:
        for _ in run.iter_peaks(threads=2):
            pass

def load_forever():
    started.wait()
    while True:
        run.load(threads=2)

workers = [threading.Thread(target=t, daemon=True) for t in (stream_forever, stream_forever, load_forever)]
for worker in workers:
    worker.start()
held = [run.iter_peaks() for _ in range(3)]
for iterator in held:
    next(iterator)
started.wait()
time.sleep(0.2)
if mode == "fork":
    child = os.fork()
    if child == 0:
        # The parent's decoding threads are not in the child.
        try:
            next(held[0])
            os._exit(3)
        except RuntimeError as error:
            os._exit(0 if "fork()" in str(error) else 4)
    _, status = os.waitpid(child, 0)
    print("child", os.waitstatus_to_exitcode(status), flush=True)
print("exiting", flush=True)
"""


@pytest.mark.parametrize("mode", ["exit", "fork"])
def test_interpreter_exit_and_fork_with_peak_streams_busy(dda, mode):
    result = run_python(ARRAY_EXIT_SCRIPT, dda.wiff_path, mode, timeout=60)
    expected = ("child 0\n" if mode == "fork" else "") + "exiting\n"
    assert (result.returncode, result.stdout, result.stderr) == (0, expected, "")
