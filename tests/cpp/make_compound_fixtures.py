"""Writes the compound files that the C++ compound-file, listing and engine tests read."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from wifffixture.acquisition import Acquisition, build, dda_sample  # noqa: E402
from wifffixture.cfb import CompoundFileWriter  # noqa: E402


def pattern(size: int) -> bytes:
    return bytes((i * 7 + 3) & 0xFF for i in range(size))


def main(out: Path) -> None:
    out.mkdir(parents=True, exist_ok=True)

    samples = CompoundFileWriter()
    for name in ["Sample10", "Blank", "Sample2", "sample1", "Sample+3", "Sample-1"]:
        samples.add_storage("SampleSubtree/" + name)
    samples.add_stream("SampleSubtree/Notes", b"not a sample")
    samples.add_stream("SampleSubtree/Sample2/Idx", pattern(100))      # mini stream
    samples.add_stream("SampleSubtree/Sample2/Big", pattern(70000))    # regular sectors
    samples.add_stream("SampleSubtree/Sample2/Empty", b"")
    samples.add_stream("\x05SummaryInformation", pattern(48))
    samples.write(out / "samples.cfb")

    streams_only = CompoundFileWriter()
    streams_only.add_stream("SampleSubtree/Idx", b"x")
    streams_only.write(out / "streams_only.cfb")

    no_subtree = CompoundFileWriter()
    no_subtree.add_stream("Other", b"x")
    no_subtree.write(out / "no_subtree.cfb")

    (out / "not_cfb.bin").write_bytes(b"this is plain text, not a compound file\n" * 20)
    (out / "empty.bin").write_bytes(b"")

    # Runs for the engine: 48 scans of up to 300 points, and the same run
    # with the payloads of scans 7 and 30 moved past the end of the scan file.
    build(Acquisition(samples=[dda_sample(cycles=12, points_per_scan=300, seed=11)]), out, "engine")
    damaged = dda_sample(cycles=12, points_per_scan=300, seed=11)
    for k in (7, 30):
        damaged.scans[k].scan_offset = 1 << 30
    build(Acquisition(samples=[damaged]), out, "engine_damaged")


if __name__ == "__main__":
    main(Path(sys.argv[1]))
