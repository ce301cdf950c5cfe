"""Deflate libraries and base64 compared on the arrays of the benchmark run.

Packs the m/z (float64) and intensity (float32) arrays of the first
spectra of a run written by bench/make_acquisition (read with
corvex.iter_spectra, packed little-endian with numpy), then times on one
core, with bench/array_encoding_bench.cpp (Google Benchmark), libdeflate
and ISA-L at their useful levels, one zlib stream per array, and OpenSSL's
base64. Every stream each library and level wrote is inflated with Python's
zlib and compared with its input. Prints MB/s per core and the compressed
size as a share of the input, for m/z, intensity and both, beside the
Python converter's encoders on the same arrays (the isal package at level 2
and binascii's base64).

    bench/make_acquisition bench/out/small --scale 0.1
    cmake -S . -B build-bench -DCORVEX_BUILD_BENCH=ON
    cmake --build build-bench --target array_encoding_bench
    python bench/array_encoding_bench.py bench/out/small/bench.wiff
"""

from __future__ import annotations

import argparse
import binascii
import json
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path
from typing import Callable, List

import numpy as np

import corvex


def pack_arrays(wiff: str, limit_bytes: int, path: Path) -> List[bytes]:
    """The arrays of the run's first spectra, m/z then intensity, until ``limit_bytes``; also written to ``path``."""
    arrays = []
    total = 0
    with open(path, "wb") as out:
        for spectrum in corvex.iter_spectra(wiff):
            for kind, data in ((0, np.asarray(spectrum.mz, "<f8").tobytes()),
                               (1, np.asarray(spectrum.intensity, "<f4").tobytes())):
                out.write(struct.pack("<BQ", kind, len(data)) + data)
                arrays.append(data)
                total += len(data)
            if total >= limit_bytes:
                break
    return arrays


def check_dump(path: Path, arrays: List[bytes]) -> None:
    data = path.read_bytes()
    position = 0
    for expected in arrays:
        (length,) = struct.unpack_from("<Q", data, position)
        stream = data[position + 8:position + 8 + length]
        position += 8 + length
        if zlib.decompress(stream) != expected:
            raise SystemExit(f"{path.name}: a stream does not inflate to its input")
    if position != len(data):
        raise SystemExit(f"{path.name}: more streams than arrays")


def python_rate(encode: Callable[[bytes], bytes], arrays: List[bytes]) -> "tuple[float, float]":
    """MB/s of ``encode`` over ``arrays`` (best of three, CPU time) and its output over its input."""
    best = float("inf")
    for _ in range(3):
        start = time.process_time()
        out = sum(len(encode(data)) for data in arrays)
        best = min(best, time.process_time() - start)
    size = sum(map(len, arrays))
    return size / best / 1e6, out / size


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("run", help="a .wiff written by bench/make_acquisition")
    parser.add_argument("--binary", default="build-bench/array_encoding_bench")
    parser.add_argument("--mb", type=float, default=64.0, help="array bytes to encode (default 64 MB)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        arrays = pack_arrays(args.run, int(args.mb * 1e6), work / "arrays.bin")
        print(f"{len(arrays) // 2} spectra, {sum(map(len, arrays)) / 1e6:.1f} MB of arrays")
        dump = work / "dump"
        dump.mkdir()
        result = subprocess.run([args.binary, "--benchmark_format=json", "--benchmark_min_time=1"],
                                env={"CORVEX_BENCH_ARRAYS": str(work / "arrays.bin"), "CORVEX_BENCH_DUMP": str(dump)},
                                check=True, capture_output=True, text=True)
        for stream_file in sorted(dump.iterdir()):
            check_dump(stream_file, arrays)
        print(f"every stream of the {len(list(dump.iterdir()))} library/level pairs inflates to its input with zlib")
        rows, base64_rate = {}, 0.0
        for bench in json.loads(result.stdout)["benchmarks"]:
            if bench["name"].startswith("base64/"):
                base64_rate = bench["bytes_per_second"] / 1e6
                continue
            library, level, kind = bench["name"].split("/")[:3]
            rows.setdefault((library, int(level)), {})[kind] = (bench["bytes_per_second"] / 1e6, bench["ratio"])
    kinds = ("mz", "intensity", "both")
    print(f"{'deflate':<18}{'level':>6}" + "".join(f"{kind + ' MB/s':>16}{'size':>8}" for kind in kinds))
    for (library, level), measured in sorted(rows.items()):
        print(f"{library:<18}{level:>6}" + "".join(f"{measured[k][0]:>16.0f}{measured[k][1]:>8.1%}" for k in kinds))
    try:
        from isal import isal_zlib

        rate, ratio = python_rate(lambda data: isal_zlib.compress(data, 2), arrays)
        print(f"{'python isal':<18}{2:>6}{'':>48}{rate:>16.0f}{ratio:>8.1%}")
    except ImportError:
        pass
    print(f"base64 MB/s per core: OpenSSL EVP_EncodeBlock {base64_rate:.0f}, Python binascii "
          f"{python_rate(lambda data: binascii.b2a_base64(data, newline=False), arrays)[0]:.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
