"""Shows what corvex reads from a WIFF acquisition.

    python examples/show.py RUN.wiff
"""
import sys
from collections import Counter

import corvex


def show_sample(path: str, name: str) -> None:
    reader = corvex.open_sample(path, name)
    print(f"\nSample {name}: {reader.scan_count} spectra")

    info = reader.run_info()
    instrument = info["instrument"]
    print(f"  instrument      {instrument['name']} ({instrument['accession']}), "
          f"serial {info['instrument_serial_number'] or '-'}")
    print(f"  started         {info['start_timestamp'] or '-'}")
    calibration = reader.calibration()
    if calibration:
        print(f"  calibration     m/z = {calibration['intercept']} + {calibration['slope']} * channel")
    parameters = reader.ion_source_parameters()
    if parameters:
        print("  ion source      " + ", ".join(f"{k}={v:g}" for k, v in parameters.items()))

    spectra = [reader.read_spectrum(i) for i in range(reader.scan_count)]
    levels = Counter(s.ms_level for s in spectra)
    print("  MS levels       " + ", ".join(f"MS{level}: {count}" for level, count in sorted(levels.items())))
    if spectra:
        times = [s.retention_time_sec for s in spectra]
        print(f"  retention time  {min(times):.2f} s to {max(times):.2f} s")
        first = spectra[0]
        peaks = ", ".join(f"{mz:.4f}: {intensity:g}" for mz, intensity in list(zip(first.mz, first.intensity))[:5])
        print(f"  first spectrum  {first!r}, {first.native_id}, MS{first.ms_level}; peaks {peaks}, ...")
        fragment = next((s for s in spectra if s.precursor), None)
        if fragment:
            print(f"  first fragment  {fragment.native_id}, precursor m/z {fragment.precursor['selected_mz']}"
                  f" from {fragment.precursor['precursor_native_id']}")

    tic = reader.read_chromatograms()[0]
    if tic["intensity"]:
        top = max(range(len(tic["intensity"])), key=tic["intensity"].__getitem__)
        print(f"  TIC             {len(tic['time_sec'])} points, total {sum(tic['intensity']):.4g}, "
              f"highest {tic['intensity'][top]:.4g} at {tic['time_sec'][top]:.2f} s")


def main(path: str) -> int:
    try:
        samples = corvex.list_samples(path)
        print(f"{path}: {len(samples)} sample(s): {', '.join(samples)}")
        for name in samples:
            show_sample(path, name)
    except RuntimeError as error:
        print(f"corvex: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
