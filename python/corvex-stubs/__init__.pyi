"""Type information for the corvex extension module.

The TypedDict classes below describe the dictionaries that corvex returns.
They exist only for type checkers: import them under ``typing.TYPE_CHECKING``
(``if TYPE_CHECKING: from corvex import RunInfo``), or write annotations as
strings, since the module itself does not define them at run time.
"""

from typing import Literal, TypedDict, final

__all__ = ["RawReader", "Spectrum", "SpectrumIter", "iter_spectra", "list_samples", "open_sample"]

PolarityText = Literal["negative", "positive"]
ScanModeText = Literal["centroid", "profile"]
AnalyzerText = Literal["itms", "tqms", "sqms", "tofms", "ftms", "sector"]
ActivationText = Literal["hcd", "mpid", "etd", "cid", "ecd", "irmpd", "pd", "pqd", "uvpd", "sid", "ethcd"]
MobilityArrayKindText = Literal["inverse_reduced_k0", "drift_time_ms"]

class CvTerm(TypedDict):
    """A PSI-MS controlled-vocabulary term."""
    accession: str
    name: str

class Precursor(TypedDict):
    """Precursor and isolation of a fragment spectrum (``Spectrum.precursor``)."""
    target_mz: float | None
    selected_mz: float | None
    isolation_width: float | None
    charge: int | None
    intensity: float | None
    collision_energy: float | None
    ce_is_nce: bool
    precursor_native_id: str | None
    activation: ActivationText | None
    analyzer: AnalyzerText | None
    ccs: float | None

class RunInfo(TypedDict):
    """Run metadata (``RawReader.run_info()``)."""
    source_file_name: str
    source_file_format: CvTerm
    native_id_format: CvTerm
    instrument: CvTerm
    instrument_serial_number: str | None
    software_name: str
    software_version: str
    acquisition_software_name: str | None
    acquisition_software_version: str | None
    start_timestamp: str | None
    mobility_array_kind: MobilityArrayKindText | None
    analyzers: list[AnalyzerText]
    extra: dict[str, str]

class InstrumentInfo(TypedDict):
    """Instrument identity from the acquisition log (``RawReader.instrument_info()``)."""
    component_id: str
    manufacturer: str | None
    model_number: str | None
    serial_number: str | None

class Calibration(TypedDict):
    """TOF m/z calibration (``RawReader.calibration()``)."""
    slope: float
    intercept: float

class Chromatogram(TypedDict):
    """One chromatogram (``RawReader.read_chromatograms()``)."""
    index: int
    id: str
    chromatogram_type: CvTerm | None
    precursor_mz: float | None
    product_mz: float | None
    time_sec: list[float]
    intensity: list[float]

class ScanIndexRecord(TypedDict):
    """One decoded scan-index record (``RawReader.scan_index()``)."""
    scan_offset: int
    scan_size: int
    retention_time_min: float
    ms_level: int
    tic: float

@final
class Spectrum:
    """A complete vendor-neutral spectrum record. Peak arrays remain Python lists
    for compatibility with the original native binding."""

    @property
    def index(self) -> int: ...
    @property
    def scan_number(self) -> int: ...
    @property
    def native_id(self) -> str: ...
    @property
    def ms_level(self) -> int: ...
    @property
    def polarity(self) -> PolarityText | None: ...
    @property
    def scan_mode(self) -> ScanModeText | None: ...
    @property
    def analyzer(self) -> AnalyzerText | None: ...
    @property
    def acquisition_event_id(self) -> int | None: ...
    @property
    def filter(self) -> str | None: ...
    @property
    def retention_time_sec(self) -> float: ...
    @property
    def total_ion_current(self) -> float: ...
    @property
    def reported_total_ion_current(self) -> float | None: ...
    @property
    def base_peak_mz(self) -> float | None: ...
    @property
    def reported_base_peak_mz(self) -> float | None: ...
    @property
    def base_peak_intensity(self) -> float | None: ...
    @property
    def reported_base_peak_intensity(self) -> float | None: ...
    @property
    def low_mz(self) -> float | None: ...
    @property
    def high_mz(self) -> float | None: ...
    @property
    def ion_injection_time_ms(self) -> float | None: ...
    @property
    def inv_mobility(self) -> float | None: ...
    @property
    def faims_cv(self) -> float | None: ...
    @property
    def precursor(self) -> Precursor | None: ...
    @property
    def mz(self) -> list[float]: ...
    @property
    def intensity(self) -> list[float]: ...
    @property
    def inv_mobility_per_peak(self) -> list[float] | None: ...
    @property
    def extra(self) -> dict[str, str]: ...
    def __len__(self) -> int: ...

@final
class RawReader:
    """One sample of a WIFF run, opened with every spectrum decoded."""

    def __new__(cls, path: str) -> RawReader: ...
    @property
    def scan_count(self) -> int: ...
    @property
    def sample_name(self) -> str: ...
    def read_spectrum(self, scan_index: int) -> Spectrum: ...
    def run_info(self) -> RunInfo: ...
    def instrument_info(self) -> InstrumentInfo | None: ...
    def calibration(self) -> Calibration | None: ...
    def ion_source_parameters(self) -> dict[str, float]: ...
    def dde_precursor_mz(self) -> list[float]: ...
    def read_chromatograms(self) -> list[Chromatogram]: ...
    def scan_index(self) -> list[ScanIndexRecord]: ...

@final
class SpectrumIter:
    """Spectra of one sample, decoded one at a time on a background thread."""

    def __iter__(self) -> SpectrumIter: ...
    def __next__(self) -> Spectrum: ...

def iter_spectra(path: str, sample: str | None = None) -> SpectrumIter:
    """Decode spectra one at a time without buffering the whole acquisition."""

def list_samples(path: str) -> list[str]: ...
def open_sample(path: str, sample: str) -> RawReader: ...
