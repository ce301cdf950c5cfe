"""Streaming spectra with iter_spectra / SpectrumIter."""
import os
import resource
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import corvex
from wifffixture import Acquisition, Sample, Scan, build, dda_sample, write_synthetic_run

SPECTRUM_PROPERTIES = [n for n in vars(corvex.Spectrum) if not n.startswith("__")]
TESTS_DIR = str(Path(__file__).resolve().parents[1])
MODULE_DIR = str(Path(corvex.__file__).resolve().parent)

with open("/proc/self/maps") as _maps:
    # AddressSanitizer's shadow memory and quarantine defeat memory bounds.
    needs_plain_allocator = pytest.mark.skipif("libasan" in _maps.read(),
                                               reason="memory limits under AddressSanitizer")


pytestmark = pytest.mark.usefixtures("watchdog")


@pytest.fixture(scope="module")
def large_run(tmp_path_factory):
    """About 30 survey scans of 150k to 450k points: a few hundred kB each
    on disk and several MB each once decoded."""
    return write_synthetic_run(tmp_path_factory.mktemp("large"), n_scans=30, ms2_per_cycle=0,
                               points_per_scan=300_000, chunk_points=1_000_000)


def fields(spectrum):
    return {name: getattr(spectrum, name) for name in SPECTRUM_PROPERTIES}


def tasks():
    return set(os.listdir("/proc/self/task"))


def wait_until(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


def run_python(script, *args, timeout=60):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, TESTS_DIR]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env=env)


def two_sample_acquisition():
    return Acquisition(samples=[dda_sample("Sample1", cycles=3, seed=1),
                                dda_sample("Sample2", cycles=4, seed=2, calibration=None)])


# ---------------------------------------------------------------------------
# What the stream yields
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("sample, call", [
    ("Sample1", lambda p, s: corvex.iter_spectra(p, s)),
    ("Sample2", lambda p, s: corvex.iter_spectra(p, sample=s)),
    ("Sample2", lambda p, s: corvex.iter_spectra(path=p, sample=s)),
])
def test_stream_equals_the_spectra_of_raw_reader(tmp_path, sample, call):
    expected = build(two_sample_acquisition(), tmp_path)
    path = str(expected.wiff_path)
    reader = corvex.open_sample(path, sample)
    streamed = list(call(path, sample))
    assert len(streamed) == reader.scan_count == len(expected.samples[sample].spectra)
    assert all(type(s) is corvex.Spectrum for s in streamed)
    for i, (got, exp) in enumerate(zip(streamed, expected.samples[sample].spectra)):
        want = fields(reader.read_spectrum(i))
        assert fields(got) == want, i
        assert (got.index, got.native_id, got.mz, got.intensity) == (i, exp.native_id, exp.mz,
                                                                     exp.intensity)


@pytest.mark.parametrize("call", [
    lambda p: corvex.iter_spectra(p),
    lambda p: corvex.iter_spectra(p, None),
    lambda p: corvex.iter_spectra(p, sample=None),
])
def test_single_sample_file_streams_its_only_sample(tmp_path, call):
    expected = build(Acquisition(samples=[dda_sample("Only", cycles=2)]), tmp_path)
    streamed = list(call(str(expected.wiff_path)))
    assert [s.mz for s in streamed] == [e.mz for e in expected.sample().spectra]
    assert [s.precursor and s.precursor["target_mz"] for s in streamed] == \
        [e.precursor and e.precursor["target_mz"] for e in expected.sample().spectra]


def test_large_scans_stream_intact(large_run):
    it = corvex.iter_spectra(str(large_run.wiff_path))
    for i in (0, 1):
        spectrum = next(it)
        mz, intensity = large_run.scan_arrays(i)
        assert spectrum.mz == mz.tolist()
        assert spectrum.intensity == intensity.astype(float).tolist()
    assert sum(1 for _ in it) == large_run.n_scans - 2


# ---------------------------------------------------------------------------
# Errors end the stream
# ---------------------------------------------------------------------------

def assert_finished(it):
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


@pytest.mark.parametrize("k", [0, 2, 5])
def test_error_after_exactly_k_spectra(tmp_path, k):
    sample = dda_sample(cycles=2, ms2_per_cycle=2)
    sample.scans[k].scan_offset = 1_000_000
    expected = build(Acquisition(samples=[sample]), tmp_path)
    spectra = expected.sample().spectra
    assert spectra[k].error and not any(s.error for s in spectra[:k])
    it = corvex.iter_spectra(str(expected.wiff_path))
    for i in range(k):
        got = next(it)
        assert (got.index, got.mz) == (i, spectra[i].mz)
    with pytest.raises(RuntimeError) as info:
        next(it)
    assert str(info.value) == spectra[k].error
    # Later scans are fine but never reach the caller.
    assert_finished(it)


@pytest.mark.parametrize("damage, sample", [
    ("missing wiff", None),
    ("missing scan file", None),
    ("two samples", None),
    ("unknown sample", "Sample9"),
    ("no valid index record", None),
])
def test_open_failure_is_raised_by_the_first_next(tmp_path, damage, sample):
    if damage == "two samples":
        expected = build(two_sample_acquisition(), tmp_path)
    elif damage == "no valid index record":
        expected = build(Acquisition(samples=[Sample(scans=[Scan(points=[(1, 2)], scan_size=56)])]),
                         tmp_path)
    else:
        expected = build(Acquisition(samples=[dda_sample()],
                                     write_scan_file=damage != "missing scan file"), tmp_path)
    path = str(expected.wiff_path)
    if damage == "missing wiff":
        path += ".gone"
    before = tasks()
    it = corvex.iter_spectra(path, sample)   # opening waits for the first next()
    with pytest.raises(RuntimeError) as info:
        next(it)
    message = str(info.value)
    if damage == "missing wiff":
        assert message == "I/O error: No such file or directory (os error 2)"
    elif damage == "two samples":
        assert message == (f"parse error: {path} contains 2 samples (Sample1, Sample2); Reader::open "
                           "only supports a single-sample file - use Reader::open_sample to pick one")
    elif damage == "no valid index record":
        assert message == expected.sample().open_error
        assert message == "parse error: Idx stream contained no valid scan records"
    else:
        with pytest.raises(RuntimeError) as direct:
            corvex.open_sample(path, sample or "Sample1")
        assert message == str(direct.value)
        if damage == "missing scan file":
            assert message == expected.sample().open_error
    assert_finished(it)
    # The decoding thread ended after reporting the failure.
    assert wait_until(lambda: tasks() <= before)


@pytest.mark.parametrize("args, kwargs, error, note", [
    ((), {}, "iter_spectra() missing 1 required positional argument: 'path'", None),
    ((Path("x.wiff"),), {}, "'PosixPath' object is not an instance of 'str'", "while processing 'path'"),
    (("x.wiff", 3), {}, "'int' object is not an instance of 'str'", "while processing 'sample'"),
    (("x.wiff",), {"sample": b"S"}, "'bytes' object is not an instance of 'str'",
     "while processing 'sample'"),
    (("x.wiff", None, None), {}, "iter_spectra() takes from 1 to 2 positional arguments but 3 were given",
     None),
])
def test_argument_errors_raise_at_the_call_and_start_no_thread(args, kwargs, error, note):
    before = tasks()
    with pytest.raises(TypeError) as info:
        corvex.iter_spectra(*args, **kwargs)
    assert str(info.value) == error
    assert getattr(info.value, "__notes__", [None]) == [note]
    assert tasks() == before


def test_iterator_protocol(tmp_path):
    expected = build(Acquisition(samples=[dda_sample(cycles=1)]), tmp_path)
    it = corvex.iter_spectra(str(expected.wiff_path))
    assert type(it) is corvex.SpectrumIter
    assert iter(it) is it
    with pytest.raises(TypeError):
        corvex.SpectrumIter()
    assert len(list(it)) == 4
    assert iter(it) is it
    assert_finished(it)


# ---------------------------------------------------------------------------
# Threads and memory
# ---------------------------------------------------------------------------

def test_dropping_the_iterator_returns_at_once_and_the_thread_ends(tmp_path):
    expected = build(Acquisition(samples=[dda_sample(cycles=6)]), tmp_path)
    before = tasks()
    it = corvex.iter_spectra(str(expected.wiff_path))
    assert next(it).index == 0
    # The decoding thread is now blocked handing over a later spectrum.
    decoder = tasks() - before
    assert len(decoder) == 1
    start = time.monotonic()
    del it
    assert time.monotonic() - start < 1.0
    assert wait_until(lambda: not (decoder & tasks()))


def test_second_caller_is_refused_while_the_first_waits(large_run):
    # The first spectrum of a large run takes milliseconds to decode, so a
    # __next__ on another thread is usually caught waiting for it. A try in
    # which the waiting call finished before the checks ran proves nothing and
    # is repeated.
    path = str(large_run.wiff_path)
    for _ in range(50):
        it = corvex.iter_spectra(path)
        outcome = []
        first = threading.Thread(target=lambda: outcome.append(next(it)), daemon=True)
        first.start()
        refused = None
        while first.is_alive() and refused is None:
            try:
                iter(it)
            except RuntimeError as shared:
                assert str(shared) == "Already mutably borrowed"
                try:
                    next(it)
                except RuntimeError as exclusive:
                    refused = str(exclusive)
                else:
                    break   # the first call has finished meanwhile
        first.join(30)
        assert not first.is_alive()
        if refused is not None:
            assert refused == "Already borrowed"
            # The waiting call was unaffected and the stream goes on in order.
            assert [s.index for s in outcome] == [0]
            assert next(it).index == 1
            return
    pytest.fail("never caught a __next__ waiting for the decoding thread")


@needs_plain_allocator
def test_streaming_keeps_peak_memory_bounded(large_run):
    decoded_bytes = 12 * int(large_run.n_points.sum())
    assert decoded_bytes > 100_000_000
    result = run_python("""
        import sys, time, corvex
        def peak_kib():
            with open("/proc/self/status") as status:
                return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
        base = peak_kib()
        it = corvex.iter_spectra(sys.argv[1])
        count = next(it).index + 1
        # Long enough for the decoding thread to get through the whole run
        # if nothing held it back.
        time.sleep(0.5)
        for spectrum in it:
            count += spectrum.index == count
        print(count, peak_kib() - base)
    """, large_run.wiff_path)
    assert result.returncode == 0, result.stderr
    count, growth_kib = map(int, result.stdout.split())
    assert count == large_run.n_scans
    # At most three spectra are alive at once (one held by the caller, one in
    # the channel, one waiting to be sent), each under 6 MB.
    assert growth_kib * 1024 < 40_000_000, growth_kib


def test_interpreter_exit_with_live_iterators(large_run, tmp_path):
    small = build(Acquisition(samples=[dda_sample(cycles=3)]), tmp_path)
    result = run_python("""
        import sys, threading, corvex
        large, small = sys.argv[1], sys.argv[2]
        kept = []
        for i in range(6):
            it = corvex.iter_spectra(large if i % 2 else small)
            if i >= 2:
                next(it)
            kept.append(it)
        kept.append(kept)        # a cycle, left to the collector at exit
        kept.append(corvex.iter_spectra(small + ".missing"))
        # Daemon threads still streaming while the interpreter finalizes: they
        # re-attach to a finalizing interpreter and are ended by it.
        def drain(path):
            while True:
                for _ in corvex.iter_spectra(path):
                    pass
        for path in (large, small):
            threading.Thread(target=drain, args=(path,), daemon=True).start()
        print("exiting", flush=True)
    """, large_run.wiff_path, small.wiff_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, "exiting\n", "")


@needs_plain_allocator
def test_faults_in_starting_or_running_the_thread_are_reported(tmp_path):
    # Address space limited in a child process: with less room than a thread
    # stack the thread cannot start; with room for the stack but not for the
    # first decoded spectrum (over 12 MB) it fails while decoding and ends
    # without a final message.
    soft, _ = resource.getrlimit(resource.RLIMIT_STACK)
    # glibc sizes thread stacks by this limit, or 32 MB when it is unlimited.
    stack = 32 << 20 if soft == resource.RLIM_INFINITY else soft
    if stack < 4 << 20:
        pytest.skip("thread stacks too small to tell apart from the decoding memory")
    run = write_synthetic_run(tmp_path, n_scans=2, ms2_per_cycle=0, points_per_scan=2_000_000)
    result = run_python("""
        import resource, sys, corvex
        path, stack = sys.argv[1], int(sys.argv[2])
        def attempt(room):
            with open("/proc/self/status") as status:
                size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            resource.setrlimit(resource.RLIMIT_AS, (size * 1024 + room, hard))
            outcome = []
            try:
                it = corvex.iter_spectra(path)
                try:
                    outcome.append(next(it).index)
                except RuntimeError as error:
                    outcome.append(str(error))
                    try:
                        next(it)
                    except StopIteration:
                        outcome.append("finished")
            except BaseException as error:
                outcome += [type(error).__name__, isinstance(error, Exception),
                            str(error).startswith("failed to spawn thread")]
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            return outcome
        print(attempt(1 << 20))
        print(attempt(stack + (3 << 20)))
        print(sum(1 for _ in corvex.iter_spectra(path)))
    """, run.wiff_path, stack)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "['FatalError', False, True]",
        "['receiving on a closed channel', 'finished']",
        "2",
    ]


def test_forked_child_does_not_wait_for_the_parents_thread(tmp_path):
    expected = build(Acquisition(samples=[dda_sample(cycles=4)]), tmp_path)
    result = run_python("""
        import os, signal, sys, warnings, corvex
        warnings.simplefilter("ignore")   # fork with threads running
        path = sys.argv[1]
        started = corvex.iter_spectra(path)
        next(started)
        untouched = corvex.iter_spectra(path)
        pid = os.fork()
        if pid == 0:
            signal.alarm(20)   # a child stuck in next() must not outlive the test
            outcome = []
            try:
                next(started)
            except RuntimeError as error:
                outcome.append(str(error))
            outcome.append(next(started, "finished"))
            del started, untouched
            ok = outcome == ["receiving on a closed channel", "finished"]
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status), 1 + sum(1 for _ in started),
              sum(1 for _ in untouched))
    """, expected.wiff_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", "16", "16"]
