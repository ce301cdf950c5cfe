"""`corvex report`: the data behind every plot against the fixture writer's own decode, the page in a
real browser, and damaged runs in a batch.

The expected values come from the fixture writer's reference model
(``wifffixture.Expected``), never from corvex.
"""
import base64
import json
import math
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

import corvex_tools
from corvex_tools import _native, cli
from corvex_tools.report import aggregate, page, profile
from wifffixture import Acquisition, Sample, Scan, build, dda_sample

pytestmark = pytest.mark.usefixtures("watchdog")
WATCHDOG_SECONDS = 180

APEX = 7   # survey scan at the top of the gradient run's TIC


def gradient_sample():
    """Twelve cycles of a survey and two fragment scans. Survey intensities follow a Gaussian over the
    cycles, so the TIC peaks at cycle APEX; each cycle's DDE precursor is 400 + 25 * cycle."""
    scans = []
    for cycle in range(12):
        height = 1 + 5000 * math.exp(-((cycle - APEX) / 2.0) ** 2)
        survey = [(200 + 37 * j, round(height * (1 + j % 7))) for j in range(60)]
        scans.append(Scan(points=survey, ms_level=1, retention_time_min=0.1 * cycle))
        for k in (1, 2):
            scans.append(Scan(points=[(90 + 11 * j, 3 + (j * k) % 50) for j in range(25)], ms_level=2,
                              retention_time_min=0.1 * cycle + 0.03 * k))
    return Sample(name="Gradient", scans=scans, dde_mz=[400.0 + 25 * c for c in range(12)])


def edge_sample():
    """A fragment scan before any survey (no precursor m/z), an empty survey and ties for the base peak."""
    sample = dda_sample("Edges", cycles=4, ms2_per_cycle=3, points_per_scan=40, seed=5)
    sample.scans.insert(0, Scan(points=[(100, 7), (300, 5000)], ms_level=2, retention_time_min=0.001))
    sample.scans.append(Scan(points=[], ms_level=1, retention_time_min=0.5, tic=0.0))
    sample.scans.append(Scan(points=[(50, 9), (60, 9), (70, 2)], ms_level=1, retention_time_min=0.6))
    return sample


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    directory = tmp_path_factory.mktemp("report")
    built = {"gradient": build(Acquisition(samples=[gradient_sample()]), directory, "gradient"),
             "edges": build(Acquisition(samples=[edge_sample()]), directory, "edges")}
    # Cut inside the last scan's payload: the run reads, with fewer peaks in that scan.
    probe = built["gradient"].sample().spectra[-1]
    cut = probe.scan_offset + probe.scan_size - 30
    built["truncated"] = build(Acquisition(samples=[gradient_sample()], scan_file_truncate=cut), directory,
                               "truncated")
    return built


def profiled(expected, label="run"):
    sample = expected.sample()
    return profile(str(expected.wiff_path), sample.name, label)


def assert_binned(row, mz, intensity, low_mz, bin_width):
    """Every peak's intensity sits in the bin of ``row`` whose edges hold its m/z.

    The grid's edges may have moved by whole bins after peaks were placed, so an edge can be a rounding
    away from where a peak's bin put it: below each upper edge the row holds at least the peaks clearly
    below it and at most those up to a hair above it.
    """
    order = np.argsort(mz, kind="stable")
    mz, cumulative = np.asarray(mz)[order], np.concatenate([[0.0], np.cumsum(intensity[order], dtype=np.float64)])
    edges = low_mz + bin_width * np.arange(1, len(row) + 1)
    hair = 1e-9 * max(1.0, float(np.abs(edges).max()))
    held = np.cumsum(row)
    assert np.all(held >= cumulative[np.searchsorted(mz, edges - hair)])
    assert np.all(held <= cumulative[np.searchsorted(mz, edges + hair)])
    assert held[-1] == cumulative[-1]


# ---------------------------------------------------------------------------
# The data behind the plots
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["gradient", "edges", "truncated"])
def test_profile_holds_every_spectrum_sums_base_peak_map_and_histogram(runs, name):
    expected = runs[name]
    spectra = expected.sample().spectra
    result = profiled(expected)
    assert result.error is None
    intensities = [np.array(s.intensity, dtype=np.float32) for s in spectra]
    np.testing.assert_array_equal(result.peak_count, [len(s.mz) for s in spectra])
    # Whole-number intensities: 64-bit sums are exact in any order.
    np.testing.assert_array_equal(result.intensity_sum, [float(np.sum(i, dtype=np.float64)) for i in intensities])
    for s, i, mz, height in zip(spectra, intensities, result.base_peak_mz, result.base_peak_intensity):
        if len(i):
            first_top = int(np.argmax(i))
            assert (mz, height) == (s.mz[first_top], i[first_top])
        else:
            assert math.isnan(mz) and math.isnan(height)
    np.testing.assert_array_equal(result.spectra["reported_tic_cps"], [s.idx_tic for s in spectra])
    np.testing.assert_array_equal(result.spectra["retention_time_sec"], [s.retention_time_sec for s in spectra])

    # MS1 map: every survey intensity lands, row by row, in the bin of its m/z.
    grid = result.ms1_map
    assert grid.outside == 0
    for row in range(grid.intensity.shape[0]):
        members = np.flatnonzero(result.map_row == row)
        mz = np.concatenate([spectra[i].mz for i in members])
        assert_binned(grid.intensity[row], mz, np.concatenate([intensities[i] for i in members]),
                      grid.low_mz, grid.bin_width)

    every = np.concatenate(intensities)
    bins = np.bincount(every.view(np.uint32) >> np.uint32(_native.INTENSITY_BIN_SHIFT),
                       minlength=aggregate.INTENSITY_BINS)
    np.testing.assert_array_equal(result.intensity_histogram, bins)
    edges = aggregate.intensity_bin_edges()
    assert np.all(edges[np.searchsorted(edges, every, side="right") - 1]
                  == edges[every.view(np.uint32) >> np.uint32(_native.INTENSITY_BIN_SHIFT)])


@pytest.mark.parametrize("ranges", [
    [(500.0, 510.0), (500.0, 2000.0), (20.0, 2000.0)],        # grows right, then left
    [(1000.0, 1000.0), (1000.0, 1000.0), (1e6, 1e6 + 1)],    # single peaks, then a jump far away
    [(300.0, 301.0), (299.0, 300.5), (301.5, 302.0), (250.0, 350.0)],   # shifts without merging, then merges
    [(-50.0, -40.0), (10.0, 20.0)],                           # negative m/z from a negative intercept
], ids=["grow-both-ways", "single-peaks-far-apart", "shift-then-merge", "negative-mz"])
def test_ms1_map_keeps_every_peak_where_it_belongs_while_its_range_grows(ranges):
    grid = aggregate.Ms1Map(rows=len(ranges), columns=64)
    arrays = []
    for row, (low, high) in enumerate(ranges):
        mz = np.linspace(low, high, 40)
        intensity = np.arange(1, 41, dtype=np.float32) * (row + 1)
        grid.add(row, mz, intensity)
        arrays.append((mz, intensity))
    assert grid.outside == 0
    first, last = grid.used()
    assert 0 <= first <= last < grid.columns
    assert not grid.intensity[:, :first].any() and not grid.intensity[:, last + 1:].any()
    for row, (mz, intensity) in enumerate(arrays):
        assert_binned(grid.intensity[row], mz, intensity, grid.low_mz, grid.bin_width)


def decoded(typed):
    values = np.frombuffer(base64.b64decode(typed["bdata"]), dtype=np.dtype(typed["dtype"]).newbyteorder("<"))
    if "shape" in typed:
        values = values.reshape([int(n) for n in typed["shape"].split(",")])
    return values


def page_figures(text):
    found = re.search(r'<script type="application/json" id="figures">(.*?)</script>', text, re.S)
    return json.loads(found.group(1))


def test_page_plots_the_profile_tic_shape_precursors_and_map(runs):
    expected = runs["gradient"]
    spectra = expected.sample().spectra
    result = profiled(expected, "gradient")
    figures = page_figures(page.render([result], [], "test"))
    surveys = [s for s in spectra if s.ms_level == 1]

    tic, reported = figures["tic"]["data"]
    np.testing.assert_array_equal(decoded(tic["x"]), np.float32([s.retention_time_sec / 60 for s in surveys]))
    sums = np.float32([sum(s.intensity) for s in surveys])
    np.testing.assert_array_equal(decoded(tic["y"]), sums)
    np.testing.assert_array_equal(decoded(reported["y"]), np.float32([s.idx_tic for s in surveys]))
    assert int(np.argmax(decoded(tic["y"]))) == APEX     # the known shape: one apex, at cycle APEX

    bpc = figures["bpc"]["data"][0]
    np.testing.assert_array_equal(decoded(bpc["y"]), np.float32([max(s.intensity) for s in surveys]))

    (precursors,) = figures["precursors"]["data"]
    fragments = [s for s in spectra if s.ms_level == 2]
    np.testing.assert_array_equal(decoded(precursors["y"]), [s.precursor["selected_mz"] for s in fragments])
    assert sorted(set(decoded(precursors["y"]))) == [400.0 + 25 * c for c in range(12)]   # the DDE values

    heatmap = figures["ms1-map-0"]["data"][0]
    shown = page.map_display(result)
    levels = decoded(heatmap["z"])
    assert levels.shape == shown["intensity"].shape
    np.testing.assert_array_equal(levels > 0, shown["intensity"] > 0)
    assert shown["intensity"].sum() == result.ms1_map.intensity.sum()
    # Brighter cells hold more intensity.
    flat, order = shown["intensity"].ravel(), np.argsort(shown["intensity"].ravel())
    assert np.all(np.diff(levels.ravel()[order][flat[order] > 0].astype(int)) >= 0)

    (rate,) = figures["scan-rate"]["data"]
    edges = decoded(rate["x"]).astype(np.float64) * 60
    assert round(float(np.sum(decoded(rate["y"])[:-1] * np.diff(edges)))) == len(spectra)

    (cycle,) = figures["cycle-time"]["data"]
    np.testing.assert_allclose(decoded(cycle["y"]), np.diff([s.retention_time_sec for s in surveys]), rtol=1e-6)


def test_long_chromatograms_keep_the_top_of_each_group_and_its_mz(runs, monkeypatch):
    expected = runs["gradient"]
    surveys = [s for s in expected.sample().spectra if s.ms_level == 1]
    monkeypatch.setattr(page, "MAX_TRACE_POINTS", 5)    # twelve surveys: groups of three
    figures = page.chromatogram_figures([profiled(expected)])
    sums = np.array([sum(s.intensity) for s in surveys]).reshape(4, 3)
    np.testing.assert_array_equal(decoded(figures["tic"]["data"][0]["y"]), np.float32(sums.max(axis=1)))
    tops = np.array([max(s.intensity) for s in surveys]).reshape(4, 3)
    top_spectra = [max(surveys[3 * g:3 * g + 3], key=lambda s: max(s.intensity)) for g in range(4)]
    top_mz = [s.mz[int(np.argmax(s.intensity))] for s in top_spectra]
    bpc = figures["bpc"]["data"][0]
    np.testing.assert_array_equal(decoded(bpc["y"]), np.float32(tops.max(axis=1)))
    np.testing.assert_array_equal(decoded(bpc["customdata"]), top_mz)
    assert "largest of every 3 spectra" in figures["tic"]["layout"]["title"]["text"]


@pytest.mark.parametrize("name, finding", [("gradient", None), ("truncated", (1, 30))])
def test_truncation_finding_in_the_profile_and_on_the_page(runs, name, finding):
    result = profiled(runs[name])
    got = None if result.truncation is None else (result.truncation.spectra, result.truncation.bytes_short)
    assert got == finding
    text = page.render([result], [], "test")
    assert page.truncation_text(result.truncation) in text
    assert ('class="warning"' in text) == (finding is not None)


@pytest.mark.parametrize("arguments, error", [
    ((np.zeros(3), np.zeros(3, np.float64), np.zeros(2048, np.uint64)), "'intensity' must be a one-dimensional"),
    ((np.zeros(3, np.float32), np.zeros(3, np.float32), np.zeros(2048, np.uint64)), "'mz' must be"),
    ((np.zeros(3), np.zeros(2, np.float32), np.zeros(2048, np.uint64)), "differ in length"),
    ((np.zeros(3), np.zeros(3, np.float32), np.zeros(2048, np.int32)), "'histogram' must be"),
    ((np.zeros(3), np.zeros(3, np.float32), np.zeros(2047, np.uint64)), "must have 2048 bins"),
    ((np.zeros(6)[::2], np.zeros(3, np.float32), np.zeros(2048, np.uint64)), "contiguous"),
])
def test_peak_stats_refuses_arrays_it_would_misread(arguments, error):
    with pytest.raises((TypeError, ValueError), match=error):
        _native.peak_stats(*arguments)


# ---------------------------------------------------------------------------
# The command on batches with damaged runs
# ---------------------------------------------------------------------------

class FailingRun:
    """A run whose peaks fail after two spectra, as a damaged scan block fails iteration."""

    def __init__(self, run):
        self._run = run

    def __getattr__(self, name):
        return getattr(self._run, name)

    def iter_peaks(self, **kwargs):
        for count, item in enumerate(self._run.iter_peaks(**kwargs)):
            if count == 2:
                raise RuntimeError("vendor parser error: cannot read scan block for scan=3 at offset 9: test")
            yield item


def damage(kind, directory, runs, monkeypatch):
    """The path of a run damaged in one of three ways, and the text its error line carries."""
    if kind == "not a compound file":
        path = directory / "junk.wiff"
        path.write_bytes(b"not a compound file" * 50)
        (directory / "junk.wiff.scan").write_bytes(b"")
        return path, "I/O error"
    if kind == "scan file cut before a block":
        path = directory / "cut.wiff"
        shutil.copy(runs["gradient"].wiff_path, path)
        scan = runs["gradient"].scan_path.read_bytes()
        (directory / "cut.wiff.scan").write_bytes(scan[:runs["gradient"].sample().spectra[-3].scan_offset])
        return path, "vendor parser error: cannot read scan block"
    path = directory / "failing.wiff"
    shutil.copy(runs["gradient"].wiff_path, path)
    shutil.copy(runs["gradient"].scan_path, directory / "failing.wiff.scan")
    opened = corvex_tools.open_run
    monkeypatch.setattr("corvex_tools.report.open_run",
                        lambda p, s=None: FailingRun(opened(p, s)) if p == str(path) else opened(p, s))
    return path, "cannot read scan block for scan=3"


@pytest.mark.parametrize("kind", ["not a compound file", "scan file cut before a block", "error while reading"])
def test_damaged_run_in_a_batch_is_reported_on_the_page_and_stderr(runs, tmp_path, monkeypatch, capsys, kind):
    bad, message = damage(kind, tmp_path, runs, monkeypatch)
    target = tmp_path / "batch.html"
    status = cli.main(["report", str(runs["gradient"].wiff_path), str(bad), str(runs["edges"].wiff_path),
                       "-o", str(target)])
    out, err = capsys.readouterr()
    assert status == 1 and out == ""
    # A run that opens can also carry a warning about its scan file; one line says what failed.
    lines = [line for line in err.splitlines() if not line.startswith("corvex: warning: ")]
    assert len(lines) == 1 and lines[0].startswith(f"corvex: {bad}: ") and message in lines[0], err
    text = target.read_text()
    assert 'class="error"' in text and message in text
    labels = [trace["name"] for trace in page_figures(text)["bpc"]["data"]]
    assert [label for label in labels if label != bad.stem] == ["gradient", "edges"]
    # A run that cannot be opened has no plots; one that fails while its peaks are read shows what was read.
    assert (bad.stem in labels) == {"not a compound file": False, "error while reading": True}.get(kind, bad.stem in labels)
    assert sorted(os.listdir(tmp_path)) == sorted(["batch.html", bad.name, bad.name + ".scan"])


def test_all_samples_become_columns_with_distinct_labels(tmp_path):
    build(Acquisition(samples=[dda_sample("S1", cycles=2, seed=1), dda_sample("QC 2", cycles=3, seed=2)]),
          tmp_path, "pair")
    target = tmp_path / "pair.html"
    assert cli.main(["report", str(tmp_path / "pair.wiff"), "--all-samples", "-o", str(target)]) == 0
    figures = page_figures(target.read_text())
    assert [t["name"] for t in figures["bpc"]["data"]] == ["pair:QC 2", "pair:S1"]
    assert {"ms1-map-0", "ms1-map-1"} <= figures.keys()


# ---------------------------------------------------------------------------
# The page in a real browser
# ---------------------------------------------------------------------------

class Browser:
    """Headless Chromium driven over its DevTools pipe (file descriptors 3 and 4, NUL-separated JSON)."""

    def __init__(self, executable, profile_dir):
        to_browser_read, self._to_browser = os.pipe()
        self._from_browser, from_browser_write = os.pipe()
        flags = ["--headless", "--remote-debugging-pipe", "--disable-gpu", "--no-first-run",
                 "--no-default-browser-check", "--hide-scrollbars", f"--user-data-dir={profile_dir}"]
        if os.geteuid() == 0:
            flags.append("--no-sandbox")   # Chromium refuses to run as root with its sandbox
        # bash puts the pipe ends on the descriptors Chromium reads and writes.
        script = f'exec "$0" "$@" 3<&{to_browser_read} 4>&{from_browser_write}'
        self.process = subprocess.Popen(["bash", "-c", script, executable, *flags, "about:blank"],
                                        pass_fds=(to_browser_read, from_browser_write),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE)
        os.close(to_browser_read)
        os.close(from_browser_write)
        self._buffer = b""
        self._next_id = 0
        self.events = []

    def send(self, method, session=None, **params):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        while True:
            reply = self._receive()
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]
            self.events.append(reply)

    def wait_for(self, method):
        while not any(event.get("method") == method for event in self.events):
            self.events.append(self._receive())

    def _receive(self):
        while b"\0" not in self._buffer:
            chunk = os.read(self._from_browser, 1 << 16)
            if not chunk:
                raise EOFError("the browser closed its DevTools pipe")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def close(self):
        os.close(self._to_browser)
        os.close(self._from_browser)
        self.process.kill()
        self.process.wait()


@pytest.fixture
def browser(tmp_path):
    executable = shutil.which("chromium") or shutil.which("chromium-browser")
    if executable is None:
        pytest.skip("Chromium is not installed (scripts/setup installs Debian's chromium)")
    session = Browser(executable, tmp_path / "profile")
    try:
        session.send("Browser.getVersion")
    except (EOFError, OSError) as error:
        session.close()
        pytest.skip(f"Chromium cannot run here: {error}: {session.process.stderr.read().decode()[-500:]}")
    yield session
    session.close()


def saturated_pixels(image, box):
    """Pixels in ``box`` with a clear hue: plotted data, not the page's greys, black and white."""
    pixels = np.asarray(image.crop(box).convert("RGB")).astype(int)
    return int(((pixels.max(axis=2) - pixels.min(axis=2)) > 60).sum())


def test_page_loads_offline_without_errors_and_draws_every_plot(runs, browser, tmp_path):
    Image = pytest.importorskip("PIL.Image")
    import io

    target = tmp_path / "batch.html"
    junk = tmp_path / "junk.wiff"
    junk.write_bytes(b"x" * 600)
    (tmp_path / "junk.wiff.scan").write_bytes(b"")
    assert cli.main(["report", str(runs["gradient"].wiff_path), str(runs["truncated"].wiff_path), str(junk),
                     "-o", str(target)]) == 1
    url = target.as_uri()

    target_id = browser.send("Target.createTarget", url="about:blank")["targetId"]
    session = browser.send("Target.attachToTarget", targetId=target_id, flatten=True)["sessionId"]
    for domain in ("Page", "Runtime", "Log", "Network"):
        browser.send(f"{domain}.enable", session)
    browser.send("Emulation.setDeviceMetricsOverride", session, width=1280, height=900, deviceScaleFactor=1,
                 mobile=False)
    browser.send("Page.navigate", session, url=url)
    browser.wait_for("Page.loadEventFired")

    def evaluate(expression):
        return browser.send("Runtime.evaluate", session, expression=expression, returnByValue=True,
                            awaitPromise=True)["result"].get("value")

    plot_ids = evaluate("[...document.querySelectorAll('.plot')].map(e => e.id)")
    expected_ids = ["tic", "bpc", "ms1-map-0", "ms1-map-1", "precursors", "scan-rate", "cycle-time",
                    "peaks-per-spectrum", "intensity"]
    assert plot_ids == expected_ids
    plotted = evaluate("""new Promise(resolve => {
        const started = Date.now();
        (function check() {
          if (document.body.dataset.plotted || Date.now() - started > 60000) resolve(document.body.dataset.plotted);
          else setTimeout(check, 50);
        })(); })""")
    assert plotted == str(len(expected_ids))
    boxes = evaluate("""Object.fromEntries([...document.querySelectorAll('.plot')].map(e => {
        const r = e.querySelector('.nsewdrag').getBoundingClientRect();
        return [e.id, [r.left + scrollX, r.top + scrollY, r.right + scrollX, r.bottom + scrollY]]; }))""")
    height = evaluate("document.documentElement.scrollHeight")
    shot = browser.send("Page.captureScreenshot", session, format="png", captureBeyondViewport=True,
                        clip={"x": 0, "y": 0, "width": 1280, "height": height, "scale": 1})
    image = Image.open(io.BytesIO(base64.b64decode(shot["data"])))

    blank = [plot for plot in expected_ids if saturated_pixels(image, tuple(round(v) for v in boxes[plot])) < 100]
    assert blank == []

    problems = [e["params"] for e in browser.events
                if (e.get("method") == "Runtime.consoleAPICalled" and e["params"]["type"] in ("error", "assert"))
                or e.get("method") == "Runtime.exceptionThrown"
                or (e.get("method") == "Log.entryAdded" and e["params"]["entry"]["level"] == "error")]
    assert problems == []
    requested = {e["params"]["request"]["url"] for e in browser.events if e.get("method") == "Network.requestWillBeSent"}
    assert requested and {u for u in requested if not u.startswith(("data:", "blob:"))} == {url}
