"""Writers for synthetic SCIEX WIFF acquisitions, used by corvex's tests.

``cfb`` writes MS-CFB (OLE2 structured storage) files and can damage them on
purpose; ``acquisition`` builds a ``.wiff`` / ``.wiff.scan`` pair on top of it
and returns the values a correct reader decodes from the files; ``synthetic``
writes large runs quickly for benchmarks; ``tof_profile`` draws TOF profile
spectra from known ions, the ground truth for peak picking; ``make_example``
writes the small acquisition kept in ``examples/``.
"""
from .cfb import (CfbError, CfbLayout, CompoundFileWriter, EntryInfo, cfb_name_key,
                  corrupt_fat_chain, corrupt_fat_loop, corrupt_sibling_cycle,
                  set_header_field, set_sibling_links, set_stream_size, truncate)
from .acquisition import (Acquisition, Expected, ExpectedSample, ExpectedSpectrum,
                          Instrument, Sample, Scan, SplitMix64, build, dda_sample,
                          datetime_to_filetime, encode_payload, expected_spectra,
                          filetime_to_rfc3339, instrument_term, ion_source_path,
                          minimal_widths, points_to_arrays, random_points,
                          ref_decode_payload, sort_sample_names, summary_information_stream)
from .synthetic import SyntheticRun, write_synthetic_run
from .tof_profile import (ProfileSpectrum, TofProfileRun, TrueIon, build_tof_profile_run,
                          match_ions, profile_spectrum)

__all__ = [
    "CfbError", "CfbLayout", "CompoundFileWriter", "EntryInfo", "cfb_name_key",
    "corrupt_fat_chain", "corrupt_fat_loop", "corrupt_sibling_cycle", "set_header_field",
    "set_sibling_links", "set_stream_size", "truncate",
    "Acquisition", "Expected", "ExpectedSample", "ExpectedSpectrum", "Instrument", "Sample",
    "Scan", "SplitMix64", "build", "dda_sample", "datetime_to_filetime", "encode_payload",
    "expected_spectra", "filetime_to_rfc3339", "instrument_term", "ion_source_path",
    "minimal_widths", "points_to_arrays", "random_points", "ref_decode_payload",
    "sort_sample_names", "summary_information_stream",
    "SyntheticRun", "write_synthetic_run",
    "ProfileSpectrum", "TofProfileRun", "TrueIon", "build_tof_profile_run", "match_ions",
    "profile_spectrum",
]
