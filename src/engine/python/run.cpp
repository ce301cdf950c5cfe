// corvex_tools._native.Run: an opened sample for array access, its peak
// iterator and its whole-selection load. corvex_tools.run wraps these in the
// public Run and Peaks classes.
//
// A Run is immutable: any number of threads may call it at once. Decoding,
// reading and opening run with the interpreter released.
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "corvex/python/args.hpp"
#include "corvex/python/borrow.hpp"
#include "corvex/python/convert.hpp"
#include "corvex/python/errors.hpp"
#include "corvex/python/metadata.hpp"
#include "corvex/python/types.hpp"
#include "corvex/scan_rules.hpp"
#include "engine/peaks.hpp"
#include "engine/python/arrays.hpp"
#include "engine/python/centroid.hpp"
#include "engine/python/detached.hpp"
#include "engine/python/features.hpp"
#include "engine/python/run.hpp"
#include "engine/run.hpp"

namespace corvex::engine::python {

namespace {

using corvex::python::BorrowFlag;
using corvex::python::as_cfunction;
using corvex::python::cached_type;
using corvex::python::ExclusiveAccess;
using corvex::python::guarded;
using corvex::python::match_fastcall;
using corvex::python::py_dict;
using corvex::python::py_int;
using corvex::python::py_list;
using corvex::python::py_none;
using corvex::python::py_text;
using corvex::python::Signature;

PyObject* raise_error(const Error& error) {
    PyErr_SetString(PyExc_RuntimeError, error_text(error).c_str());
    return nullptr;
}

// Workspaces for single-spectrum reads, reused across calls and threads: a
// fresh one would pay for fresh decoder buffers and picker memory on every
// call.
class WorkspaceCache {
public:
    ScanWorkspace take() {
        std::lock_guard lock(mutex_);
        if (idle_.empty()) return ScanWorkspace();
        ScanWorkspace workspace = std::move(idle_.back());
        idle_.pop_back();
        return workspace;
    }
    void give_back(ScanWorkspace workspace) {
        std::lock_guard lock(mutex_);
        if (idle_.size() < kept) idle_.push_back(std::move(workspace));
    }

private:
    static constexpr std::size_t kept = 4;
    std::mutex mutex_;
    std::vector<ScanWorkspace> idle_;
};

// ---------------------------------------------------------------------------
// Run

struct RunObject {
    PyObject_HEAD
    std::shared_ptr<const Run> run;  // shared with the arrays of the columns and with streams
    std::string path;
    std::unique_ptr<WorkspaceCache> workspaces;
};

RunObject* as_run(PyObject* self) { return reinterpret_cast<RunObject*>(self); }
const Run& run_of(PyObject* self) { return *as_run(self)->run; }

void run_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_run(self)->~RunObject();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* run_type();

PyObject* new_run(Run run, std::string path) {
    Ref type = Ref::steal(run_type());
    if (!type) return nullptr;
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    auto shared = std::make_shared<const Run>(std::move(run));
    auto workspaces = std::make_unique<WorkspaceCache>();
    PyObject* self = type_object->tp_alloc(type_object, 0);
    if (!self) return nullptr;
    new (&as_run(self)->run) std::shared_ptr<const Run>(std::move(shared));
    new (&as_run(self)->path) std::string(std::move(path));
    new (&as_run(self)->workspaces) std::unique_ptr<WorkspaceCache>(std::move(workspaces));
    return self;
}

PyObject* open_run(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<std::string> path;
    std::optional<std::string> sample;
    const bool parsed = guarded([&]() -> int {
        static constexpr const char* params[] = {"path", "sample"};
        static const Signature signature{"open_run()", params, 1};
        PyObject* matched[2];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return -1;
        path = corvex::python::to_text(matched[0], "path");
        if (!path) return -1;
        auto optional_sample = corvex::python::to_optional_text(matched[1], "sample");
        if (!optional_sample) return -1;
        sample = std::move(*optional_sample);
        return 0;
    }) == 0;
    if (!parsed) return nullptr;
    auto opened = detached([&] {
        return sample ? Run::open(*path, *sample) : Run::open(*path);
    });
    return guarded([&]() -> PyObject* {
        auto run = opened.take();
        if (!run) return raise_error(run.error());
        return new_run(std::move(run).value(), std::move(*path));
    });
}

template <PyObject* (*get)(const Run&, const RunObject&)>
PyObject* run_getter(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return get(run_of(self), *as_run(self)); });
}

PyObject* get_sample_name(const Run& run, const RunObject&) { return py_text(run.sample().sample_name); }
PyObject* get_scan_count(const Run& run, const RunObject&) { return py_int(std::uint64_t{run.scan_count()}); }
PyObject* get_scan_file_size(const Run& run, const RunObject&) { return py_int(run.sample().scan_file_size); }
PyObject* get_path(const Run&, const RunObject& object) { return py_text(object.path); }
PyObject* get_analyzer(const Run& run, const RunObject&) {
    return py_text(lumora::to_text(analyzer_for(run.sample().calibration)));
}

Py_ssize_t run_length(PyObject* self) { return static_cast<Py_ssize_t>(run_of(self).scan_count()); }

PyObject* run_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const Run& run = run_of(self);
        return PyUnicode_FromFormat("Run(%R, sample=%R, %zu scans)", Ref::steal(py_text(as_run(self)->path)).get(),
                                    Ref::steal(py_text(run.sample().sample_name)).get(), run.scan_count());
    });
}

template <PyObject* (*view)(const Run&)>
PyObject* run_view(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return view(run_of(self)); });
}

PyObject* view_run_info(const Run& run) { return corvex::python::run_info_dict(run.reader().run_metadata()); }
PyObject* view_instrument_info(const Run& run) {
    return corvex::python::instrument_info_value(run.sample().instrument_info);
}
PyObject* view_calibration(const Run& run) { return corvex::python::calibration_value(run.sample().calibration); }
PyObject* view_ion_source(const Run& run) {
    return corvex::python::ion_source_dict(run.sample().ion_source_parameters);
}
PyObject* view_dde(const Run& run) { return corvex::python::dde_precursor_list(run.sample().dde_records); }
PyObject* view_scan_index(const Run& run) { return corvex::python::scan_index_list(run.sample().idx_records); }
PyObject* view_chromatograms(const Run& run) {
    std::vector<lumora::ChromatogramRecord> records;
    lumora::ChromatogramSequence sequence = run.reader().iter_chromatograms();
    while (auto item = sequence.next()) {
        if (!item->ok()) return corvex::python::core_to_py_err(std::move(*item).error()).restore();
        records.push_back(std::move(*item).value());
    }
    return corvex::python::chromatogram_list(records);
}

// The numeric columns as read-only arrays over the run's own table, the
// native ids as a list of str and the sample's polarity.
PyObject* run_columns(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::shared_ptr<const Run>& run = as_run(self)->run;
        const SpectrumTable& table = run->spectra();
        const std::shared_ptr<const void> keep = run;
        const auto polarity = run->sample().polarity;
        return py_dict({
            {"position", column_array(keep, table.position, "<i8")},
            {"scan_number", column_array(keep, table.scan_number, "<i8")},
            {"native_id", py_list(table.size(),
                                  [&](std::size_t i) {
                                      return py_text(native_id(static_cast<std::uint32_t>(table.scan_number[i])));
                                  })},
            {"ms_level", column_array(keep, table.ms_level, "<i8")},
            {"polarity", polarity ? py_text(lumora::to_text(*polarity)) : py_none()},
            {"retention_time_sec", column_array(keep, table.retention_time_sec, "<f8")},
            {"reported_tic_cps", column_array(keep, table.reported_tic_cps, "<f8")},
            {"precursor_mz", column_array(keep, table.precursor_mz, "<f8")},
            {"survey_position", column_array(keep, table.survey_position, "<i8")},
            {"scan_offset", column_array(keep, table.scan_offset, "<i8")},
            {"scan_size", column_array(keep, table.scan_size, "<i8")},
        });
    });
}

// select(ms_level, rt_first, rt_last): the positions, as an int64 array.
PyObject* run_select(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"ms_level", "rt_first", "rt_last"};
        static const Signature signature{"Run.select()", params, 3};
        PyObject* matched[3];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return nullptr;
        Selection selection;
        if (matched[0] != Py_None) {
            const long long level = PyLong_AsLongLong(matched[0]);
            if (level == -1 && PyErr_Occurred()) return nullptr;
            selection.ms_level = level;
        }
        if (matched[1] != Py_None || matched[2] != Py_None) {
            const double first = PyFloat_AsDouble(matched[1]);
            if (first == -1.0 && PyErr_Occurred()) return nullptr;
            const double last = PyFloat_AsDouble(matched[2]);
            if (last == -1.0 && PyErr_Occurred()) return nullptr;
            selection.retention_time_sec = std::pair{first, last};
        }
        const std::vector<std::size_t> positions = run_of(self).select(selection);
        return owning_array(std::vector<std::int64_t>(positions.begin(), positions.end()), "<i8");
    });
}

// The position argument of peaks(): an int in [0, scan_count).
std::optional<std::size_t> to_position(PyObject* value, std::size_t scan_count) {
    auto position = corvex::python::to_index(value, "position");
    if (!position) return std::nullopt;
    if (*position >= scan_count) {
        PyErr_Format(PyExc_IndexError, "position %llu out of range for a run of %zu scans",
                     static_cast<unsigned long long>(*position), scan_count);
        return std::nullopt;
    }
    return static_cast<std::size_t>(*position);
}

// A C-contiguous buffer of int64 positions, each in [0, scan_count).
std::optional<std::vector<std::size_t>> to_positions(PyObject* value, std::size_t scan_count) {
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return std::nullopt;
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    const std::string_view format = view.format ? view.format : "B";
    if (view.itemsize != 8 || format.empty() || (format.back() != 'q' && format.back() != 'l')) {
        PyErr_SetString(PyExc_TypeError, "positions must be a contiguous array of int64");
        return std::nullopt;
    }
    const auto* values = static_cast<const std::int64_t*>(view.buf);
    const std::size_t count = static_cast<std::size_t>(view.len) / 8;
    std::vector<std::size_t> positions;
    positions.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        if (values[k] < 0 || static_cast<std::uint64_t>(values[k]) >= scan_count) {
            PyErr_Format(PyExc_IndexError, "position %lld out of range for a run of %zu scans",
                         static_cast<long long>(values[k]), scan_count);
            return std::nullopt;
        }
        positions.push_back(static_cast<std::size_t>(values[k]));
    }
    return positions;
}

// (mz, intensity): two writable arrays over one block that they share,
// which goes back to `recycler` when both are gone, when there is one.
PyObject* peak_arrays(SpectrumPeaks&& peaks, MemoryRecycler* recycler = nullptr) {
    const std::size_t count = peaks.size();
    const std::size_t intensity_offset = peaks.intensity_offset();
    Memory memory = std::move(peaks).release();
    Ref buffer = Ref::steal(recycler ? new_buffer(recycler->share(std::move(memory)), Access::Writable)
                                     : new_buffer(std::move(memory), Access::Writable));
    if (!buffer) return nullptr;
    Ref mz = Ref::steal(numpy_array(buffer.get(), "<f8", count, 0));
    if (!mz) return nullptr;
    Ref intensity = Ref::steal(numpy_array(buffer.get(), "<f4", count, intensity_offset));
    if (!intensity) return nullptr;
    return PyTuple_Pack(2, mz.get(), intensity.get());
}

PyObject* run_peaks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<std::size_t> position;
    PeakOptions options;
    const bool parsed = guarded([&]() -> int {
        static constexpr const char* params[] = {"position", "centroid"};
        static const Signature signature{"Run.peaks()", params, 1};
        PyObject* matched[2];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return -1;
        position = to_position(matched[0], run_of(self).scan_count());
        if (!position) return -1;
        auto given = peak_options(matched[1]);
        if (!given) return -1;
        options = std::move(*given);
        return 0;
    }) == 0;
    if (!parsed) return nullptr;
    const Run& run = run_of(self);
    WorkspaceCache& workspaces = *as_run(self)->workspaces;
    auto read = detached([&] {
        ScanWorkspace workspace = workspaces.take();
        auto peaks = read_peaks(run, *position, workspace, options);
        workspaces.give_back(std::move(workspace));
        return peaks;
    });
    return guarded([&]() -> PyObject* {
        auto peaks = read.take();
        if (!peaks) return raise_error(peaks.error());
        return peak_arrays(std::move(peaks).value());
    });
}

// ---------------------------------------------------------------------------
// PeakIter

constexpr const char* forked_text =
    "this peak iterator was made in another process; its decoding threads did not come with fork()";

struct PeakIterObject {
    PyObject_HEAD
    BorrowFlag access;
    // Null once the iteration has ended (the threads are gone then).
    std::unique_ptr<PeakStream> stream;
    // The stream's memory, which the arrays handed out give back.
    std::shared_ptr<MemoryRecycler> recycler;
    // The process whose threads feed `stream`.
    pid_t owner;
    // Received, but its arrays could not be made (out of memory): handed
    // out by the next call so that the iteration has no gap.
    std::optional<PeakStream::Item> pending;
};

PeakIterObject* as_iter(PyObject* self) { return reinterpret_cast<PeakIterObject*>(self); }

// Ends the stream: no new scan starts, the scans in progress finish and the
// threads are joined, with the interpreter released meanwhile. In a forked
// child the stream's threads do not exist: it is abandoned, never touched.
void end_stream(PeakIterObject& object) {
    if (!object.stream) return;
    if (object.owner != ::getpid()) {
        (void)object.stream.release();
        return;
    }
    std::unique_ptr<PeakStream> stream = std::move(object.stream);
    (void)detached([&] {
        stream.reset();
        return true;
    });
}

void peak_iter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PeakIterObject& object = *as_iter(self);
    end_stream(object);
    object.pending.~optional();
    object.recycler.~shared_ptr();
    object.stream.~unique_ptr();
    object.access.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* peak_iter_iter(PyObject* self) { return Py_NewRef(self); }

// (position, mz, intensity)
PyObject* hand_out(PeakIterObject& object, PeakStream::Item&& item) {
    const std::size_t position = item.position;
    Ref arrays = Ref::steal(peak_arrays(std::move(item.peaks).value(), object.recycler.get()));
    if (!arrays) return nullptr;
    Ref index = Ref::steal(py_int(std::uint64_t{position}));
    if (!index) return nullptr;
    return PyTuple_Pack(3, index.get(), PyTuple_GET_ITEM(arrays.get(), 0), PyTuple_GET_ITEM(arrays.get(), 1));
}

PyObject* peak_iter_next(PyObject* self) {
    PeakIterObject& object = *as_iter(self);
    auto access = ExclusiveAccess::acquire(object.access);
    if (!access) return nullptr;
    if (object.pending) {
        return guarded([&]() -> PyObject* {
            PeakStream::Item item = std::move(*object.pending);
            object.pending.reset();
            return hand_out(object, std::move(item));
        });
    }
    if (!object.stream) return nullptr;  // ended: StopIteration
    if (object.owner != ::getpid()) {
        end_stream(object);
        PyErr_SetString(PyExc_RuntimeError, forked_text);
        return nullptr;
    }
    PeakStream& stream = *object.stream;
    auto received = detached([&] { return stream.next(); });
    std::optional<PeakStream::Item> item;
    std::optional<std::string> failure;
    const bool ok = guarded([&]() -> int {
        item = received.take();
        if (item && !item->peaks.ok()) failure = error_text(item->peaks.error());
        return 0;
    }) == 0;
    if (!ok) {
        // A fault in a worker (such as running out of memory): it is raised
        // and the iteration ends.
        end_stream(object);
        return nullptr;
    }
    if (!item || failure) {
        // The end, or a scan that cannot be read: like corvex's iterator,
        // this one finishes after its first error.
        end_stream(object);
        if (failure) PyErr_SetString(PyExc_RuntimeError, failure->c_str());
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        PyObject* result = hand_out(object, PeakStream::Item{item->position, std::move(item->peaks)});
        return result;
    });
}

PyType_Slot peak_iter_slots[] = {
    {Py_tp_doc, const_cast<char*>("Peaks of the selected spectra, decoded ahead by background threads.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(peak_iter_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(peak_iter_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(peak_iter_next)},
    {0, nullptr},
};

PyType_Spec peak_iter_spec = {
    "corvex_tools._native.PeakIter",
    sizeof(PeakIterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    peak_iter_slots,
};

PyObject* peak_iter_type() {
    static PyObject* type = nullptr;
    return cached_type(type, peak_iter_spec);
}

PyObject* run_iter_peaks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"positions", "threads", "centroid"};
        static const Signature signature{"Run.iter_peaks()", params, 1};
        PyObject* matched[3];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return nullptr;
        auto positions = to_positions(matched[0], run_of(self).scan_count());
        if (!positions) return nullptr;
        auto threads = thread_count(matched[1]);
        if (!threads) return nullptr;
        auto options = peak_options(matched[2]);
        if (!options) return nullptr;

        Ref type = Ref::steal(peak_iter_type());
        if (!type) return nullptr;
        auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
        Ref iterator = Ref::steal(type_object->tp_alloc(type_object, 0));
        if (!iterator) return nullptr;
        PeakIterObject& object = *as_iter(iterator.get());
        new (&object.access) BorrowFlag();
        new (&object.stream) std::unique_ptr<PeakStream>();
        new (&object.recycler) std::shared_ptr<MemoryRecycler>();
        object.owner = ::getpid();
        new (&object.pending) std::optional<PeakStream::Item>();
        // Made last, so that nothing can fail once its threads run.
        object.stream = std::make_unique<PeakStream>(
            *as_run(self)->run, std::move(*positions),
            PoolLimits{*threads, 0, PeakStream::default_bytes_ahead}, std::move(*options));
        object.recycler = object.stream->recycler();
        return iterator.release();
    });
}

// ---------------------------------------------------------------------------
// load

PyObject* loaded_dict(LoadedPeaks&& loaded) {
    const std::size_t peaks = loaded.peak_total();
    Ref mz = Ref::steal(new_buffer(std::move(loaded.mz), Access::Writable));
    Ref intensity = Ref::steal(new_buffer(std::move(loaded.intensity), Access::Writable));
    if (!mz || !intensity) return nullptr;
    return py_dict({
        {"index", owning_array(std::move(loaded.index), "<i8")},
        {"offsets", owning_array(std::move(loaded.offsets), "<i8")},
        {"mz", numpy_array(mz.get(), "<f8", peaks)},
        {"intensity", numpy_array(intensity.get(), "<f4", peaks)},
        {"total_ion_current", owning_array(std::move(loaded.total_ion_current), "<f8")},
        {"base_peak_mz", owning_array(std::move(loaded.base_peak_mz), "<f8")},
        {"base_peak_intensity", owning_array(std::move(loaded.base_peak_intensity), "<f4")},
        {"lowest_mz", owning_array(std::move(loaded.lowest_mz), "<f8")},
        {"highest_mz", owning_array(std::move(loaded.highest_mz), "<f8")},
        {"peak_count", owning_array(std::move(loaded.peak_count), "<i8")},
    });
}

PyObject* run_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::vector<std::size_t> positions;
    LoadOptions options;
    const bool parsed = guarded([&]() -> int {
        static constexpr const char* params[] = {"positions", "threads", "centroid"};
        static const Signature signature{"Run.load()", params, 1};
        PyObject* matched[3];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return -1;
        auto given = to_positions(matched[0], run_of(self).scan_count());
        if (!given) return -1;
        auto threads = thread_count(matched[1]);
        if (!threads) return -1;
        auto peaks = peak_options(matched[2]);
        if (!peaks) return -1;
        positions = std::move(*given);
        options.threads = *threads;
        options.peaks = std::move(*peaks);
        return 0;
    }) == 0;
    if (!parsed) return nullptr;
    const Run& run = run_of(self);
    auto loaded = detached([&] { return load_peaks(run, positions, options); });
    return guarded([&]() -> PyObject* {
        auto result = loaded.take();
        if (!result) return raise_error(result.error());
        return loaded_dict(std::move(result).value());
    });
}

// ---------------------------------------------------------------------------
// Type and module

PyMethodDef run_methods[] = {
    {"run_info", as_cfunction(run_view<view_run_info>), METH_NOARGS, "run_info($self)\n--\n\n"},
    {"instrument_info", as_cfunction(run_view<view_instrument_info>), METH_NOARGS, "instrument_info($self)\n--\n\n"},
    {"calibration", as_cfunction(run_view<view_calibration>), METH_NOARGS, "calibration($self)\n--\n\n"},
    {"ion_source_parameters", as_cfunction(run_view<view_ion_source>), METH_NOARGS,
     "ion_source_parameters($self)\n--\n\n"},
    {"dde_precursor_mz", as_cfunction(run_view<view_dde>), METH_NOARGS, "dde_precursor_mz($self)\n--\n\n"},
    {"read_chromatograms", as_cfunction(run_view<view_chromatograms>), METH_NOARGS,
     "read_chromatograms($self)\n--\n\n"},
    {"scan_index", as_cfunction(run_view<view_scan_index>), METH_NOARGS, "scan_index($self)\n--\n\n"},
    {"columns", as_cfunction(run_columns), METH_NOARGS, "columns($self)\n--\n\n"},
    {"select", as_cfunction(run_select), METH_FASTCALL | METH_KEYWORDS, "select($self, ms_level, rt_first, rt_last)\n--\n\n"},
    {"peaks", as_cfunction(run_peaks), METH_FASTCALL | METH_KEYWORDS, "peaks($self, position, centroid=None)\n--\n\n"},
    {"iter_peaks", as_cfunction(run_iter_peaks), METH_FASTCALL | METH_KEYWORDS,
     "iter_peaks($self, positions, threads=None, centroid=None)\n--\n\n"},
    {"load", as_cfunction(run_load), METH_FASTCALL | METH_KEYWORDS, "load($self, positions, threads=None, centroid=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef run_properties[] = {
    {"sample_name", run_getter<get_sample_name>, nullptr, nullptr, nullptr},
    {"scan_count", run_getter<get_scan_count>, nullptr, nullptr, nullptr},
    {"scan_file_size", run_getter<get_scan_file_size>, nullptr, nullptr, nullptr},
    {"path", run_getter<get_path>, nullptr, nullptr, nullptr},
    {"analyzer", run_getter<get_analyzer>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot run_slots[] = {
    {Py_tp_doc, const_cast<char*>("An opened sample; use corvex_tools.open_run().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(run_dealloc)},
    {Py_tp_methods, run_methods},
    {Py_tp_getset, run_properties},
    {Py_tp_repr, reinterpret_cast<void*>(run_repr)},
    {Py_sq_length, reinterpret_cast<void*>(run_length)},
    {0, nullptr},
};

PyType_Spec run_spec = {
    "corvex_tools._native.Run",
    sizeof(RunObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    run_slots,
};

PyObject* run_type() {
    static PyObject* type = nullptr;
    return cached_type(type, run_spec);
}

// The reader's rule for where a .wiff file's scan data file is.
PyObject* scan_file_path(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"path"};
        static const Signature signature{"scan_file_path()", params, 1};
        PyObject* matched[1];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return nullptr;
        auto path = corvex::python::to_text(matched[0], "path");
        if (!path) return nullptr;
        return py_text(scan_file_path_for(*path).native());
    });
}

PyMethodDef run_functions[] = {
    {"open_run", as_cfunction(open_run), METH_FASTCALL | METH_KEYWORDS, "open_run(path, sample=None)\n--\n\n"},
    {"scan_file_path", as_cfunction(scan_file_path), METH_FASTCALL | METH_KEYWORDS,
     "scan_file_path(path)\n--\n\nThe scan data file of the .wiff file at `path`, by the reader's rule."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::shared_ptr<const Run> run_argument(PyObject* value, const char* param) {
    Ref type = Ref::steal(run_type());
    if (!type) return nullptr;
    if (!PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type.get()))) {
        PyErr_Format(PyExc_TypeError, "%s must be a corvex_tools._native.Run, not %s", param,
                     Py_TYPE(value)->tp_name);
        return nullptr;
    }
    return as_run(value)->run;
}

std::optional<std::size_t> thread_count(PyObject* value) {
    if (!value || value == Py_None) return std::size_t{0};
    auto threads = corvex::python::to_index(value, "threads");
    if (!threads) return std::nullopt;
    return static_cast<std::size_t>(*threads);
}

bool add_run_types(PyObject* module) {
    Ref run = Ref::steal(run_type());
    Ref iterator = Ref::steal(peak_iter_type());
    return run && iterator && PyModule_AddObjectRef(module, "Run", run.get()) == 0 &&
           PyModule_AddObjectRef(module, "PeakIter", iterator.get()) == 0 &&
           PyModule_AddFunctions(module, run_functions) == 0;
}

}  // namespace corvex::engine::python
