// corvex_tools._native.Conversion: a whole sample of a Run converted to
// mzML (convert_mzml) or MGF (convert_mgf) by the engine's worker threads,
// written to a file descriptor the caller keeps open.
//
// The caller drives it in slices: advance(seconds) writes with the
// interpreter released for about that long and comes back, so that the
// main thread's signal handlers (Ctrl-C, SIGTERM) run between slices and
// can end the conversion by raising. close(), or dropping the object, stops
// the workers and joins them.
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "corvex/python/args.hpp"
#include "corvex/python/borrow.hpp"
#include "corvex/python/convert.hpp"
#include "corvex/python/errors.hpp"
#include "corvex/python/types.hpp"
#include "engine/conversion.hpp"
#include "engine/python/centroid.hpp"
#include "engine/python/detached.hpp"
#include "engine/python/features.hpp"
#include "engine/python/run.hpp"
#include "engine/python/writer_arguments.hpp"

namespace corvex::engine::python {

namespace {

using corvex::python::as_cfunction;
using corvex::python::BorrowFlag;
using corvex::python::cached_type;
using corvex::python::ExclusiveAccess;
using corvex::python::guarded;
using corvex::python::match_fastcall;
using corvex::python::py_int;
using corvex::python::Ref;
using corvex::python::Signature;

struct ConversionObject {
    PyObject_HEAD
    BorrowFlag access;
    std::unique_ptr<Conversion> conversion;
    pid_t owner;  // the process whose threads work for `conversion`
};

ConversionObject* as_conversion(PyObject* self) { return reinterpret_cast<ConversionObject*>(self); }

// Stops the workers with the interpreter released. In a forked child the
// workers do not exist: the conversion is abandoned, never touched.
void stop_workers(ConversionObject& object) {
    if (!object.conversion) return;
    if (object.owner != ::getpid()) {
        (void)object.conversion.release();
        return;
    }
    Conversion& conversion = *object.conversion;
    (void)detached([&] {
        conversion.stop();
        return true;
    });
}

void conversion_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    ConversionObject& object = *as_conversion(self);
    stop_workers(object);
    object.conversion.~unique_ptr();
    object.access.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* conversion_advance(PyObject* self, PyObject* argument) {
    ConversionObject& object = *as_conversion(self);
    const double seconds = PyFloat_AsDouble(argument);
    if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
    if (!(seconds >= 0 && seconds <= 3600)) {
        PyErr_Format(PyExc_ValueError, "seconds must be between 0 and 3600, not %R", argument);
        return nullptr;
    }
    auto access = ExclusiveAccess::acquire(object.access);
    if (!access) return nullptr;
    if (!object.conversion) {
        PyErr_SetString(PyExc_RuntimeError, "this conversion was made in another process");
        return nullptr;
    }
    if (object.owner != ::getpid()) {
        stop_workers(object);
        PyErr_SetString(PyExc_RuntimeError, "this conversion was made in another process");
        return nullptr;
    }
    Conversion& conversion = *object.conversion;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    auto outcome = detached([&] { return conversion.advance(deadline); });
    if (outcome.fault) stop_workers(object);  // out of memory in the writer: the conversion ends
    return guarded([&]() -> PyObject* {
        auto result = outcome.take();
        if (result) return corvex::python::py_bool(*result);
        const Conversion::Failure& failure = result.error();
        if (failure.error_number != 0) return raise_errno(failure.error_number), nullptr;
        PyErr_SetString(PyExc_RuntimeError, failure.text.c_str());
        return nullptr;
    });
}

PyObject* conversion_close(PyObject* self, PyObject*) {
    ConversionObject& object = *as_conversion(self);
    auto access = ExclusiveAccess::acquire(object.access);
    if (!access) return nullptr;
    stop_workers(object);
    Py_RETURN_NONE;
}

template <std::uint64_t (Conversion::*count)() const noexcept>
PyObject* conversion_count(PyObject* self, void*) {
    const ConversionObject& object = *as_conversion(self);
    return py_int(object.conversion ? ((*object.conversion).*count)() : std::uint64_t{0});
}

PyObject* conversion_scan_count(PyObject* self, void*) {
    const ConversionObject& object = *as_conversion(self);
    return py_int(std::uint64_t{object.conversion ? object.conversion->scan_count() : 0});
}

PyMethodDef conversion_methods[] = {
    {"advance", as_cfunction(conversion_advance), METH_O,
     "advance($self, seconds, /)\n--\n\n"
     "Write for about `seconds` (the interpreter released) or until the file is complete; True once it is. "
     "RuntimeError with the reader's text for a scan that cannot be read, OSError for a write that fails; "
     "the conversion ends with its first failure, which every later call raises again."},
    {"close", as_cfunction(conversion_close), METH_NOARGS,
     "close($self)\n--\n\nStop the worker threads; an unfinished conversion cannot go on."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef conversion_properties[] = {
    {"spectra", conversion_count<&Conversion::spectra_done>, nullptr, "Spectra handled so far.", nullptr},
    {"written", conversion_count<&Conversion::spectra_written>, nullptr,
     "Spectra written so far (MGF writes fragment spectra only).", nullptr},
    {"left_out", conversion_count<&Conversion::spectra_left_out>, nullptr,
     "Fragment spectra MGF has left out for want of a precursor m/z.", nullptr},
    {"scan_count", conversion_scan_count, nullptr, "Spectra the conversion handles in all.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot conversion_slots[] = {
    {Py_tp_doc, const_cast<char*>("A sample being converted; made by convert_mzml() and convert_mgf().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(conversion_dealloc)},
    {Py_tp_methods, conversion_methods},
    {Py_tp_getset, conversion_properties},
    {0, nullptr},
};

PyType_Spec conversion_spec = {
    "corvex_tools._native.Conversion",
    sizeof(ConversionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    conversion_slots,
};

PyObject* conversion_type() {
    static PyObject* type = nullptr;
    return cached_type(type, conversion_spec);
}

// The conversion's threads and peaks from the optional arguments.
bool conversion_options(PyObject* threads, PyObject* centroid, ConversionOptions& options) {
    auto count = thread_count(threads);
    if (!count) return false;
    auto peaks = peak_options(centroid);
    if (!peaks) return false;
    options.threads = *count;
    options.peaks = std::move(*peaks);
    return true;
}

// A new Conversion object around `conversion`.
PyObject* new_conversion(std::unique_ptr<Conversion> conversion) {
    Ref type = Ref::steal(conversion_type());
    if (!type) return nullptr;
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    Ref self = Ref::steal(type_object->tp_alloc(type_object, 0));
    if (!self) return nullptr;
    ConversionObject& object = *as_conversion(self.get());
    new (&object.access) BorrowFlag();
    new (&object.conversion) std::unique_ptr<Conversion>(std::move(conversion));
    object.owner = ::getpid();
    return self.release();
}

// Starts the conversion `start` makes with the interpreter released (it may
// read the first scans), outside every try block, and wraps it.
template <class Start>
PyObject* started(Start&& start) {
    auto made = detached(start);
    return guarded([&]() -> PyObject* { return new_conversion(made.take()); });
}

PyObject* convert_mzml(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::shared_ptr<const Run> run;
    int fd = 0;
    MzmlSettings settings;
    ConversionOptions options;
    const bool parsed = guarded([&]() -> int {
        static constexpr const char* params[] = {"run",    "fd",   "header",      "between",
                                                 "footer", "params", "chromatogram_types", "zlib",
                                                 "numpress_mz", "numpress_intensity", "threads", "centroid"};
        static const Signature signature{"convert_mzml()", params, 8};
        PyObject* matched[12];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return -1;
        run = run_argument(matched[0], "run");
        if (!run) return -1;
        if (!to_fd(matched[1], fd) || !document_frame(matched[2], matched[3], matched[4], settings.frame) ||
            !vocabulary_from(matched[5], settings.vocabulary) ||
            !array_codings(matched[7], matched[8], matched[9], settings.codings) ||
            !conversion_options(matched[10], matched[11], options)) {
            return -1;
        }
        Ref types = Ref::steal(PySequence_Fast(matched[6], "chromatogram_types must be a sequence of str"));
        if (!types) return -1;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(types.get()); ++i) {
            std::string_view text;
            if (!text_view(PySequence_Fast_GET_ITEM(types.get(), i), "a chromatogram type", text)) return -1;
            settings.chromatogram_types.emplace_back(text);
        }
        return 0;
    }) == 0;
    if (!parsed) return nullptr;
    return started([&] { return convert_to_mzml(std::move(run), fd, std::move(settings), options); });
}

PyObject* convert_mgf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::shared_ptr<const Run> run;
    int fd = 0;
    ConversionOptions options;
    const bool parsed = guarded([&]() -> int {
        static constexpr const char* params[] = {"run", "fd", "threads", "centroid"};
        static const Signature signature{"convert_mgf()", params, 2};
        PyObject* matched[4];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return -1;
        run = run_argument(matched[0], "run");
        if (!run) return -1;
        return to_fd(matched[1], fd) && conversion_options(matched[2], matched[3], options) ? 0 : -1;
    }) == 0;
    if (!parsed) return nullptr;
    return started([&] { return convert_to_mgf(std::move(run), fd, options); });
}

PyMethodDef conversion_functions[] = {
    {"convert_mzml", as_cfunction(convert_mzml), METH_FASTCALL | METH_KEYWORDS,
     "convert_mzml(run, fd, header, between, footer, params, chromatogram_types, zlib, numpress_mz=None, "
     "numpress_intensity=None, threads=None, centroid=None)\n--\n\n"
     "Start converting the sample of `run` to indexed mzML on the open file descriptor fd (an empty file): "
     "header, between, footer and params as for MzmlWriter, chromatogram_types the cvParam naming each of the "
     "run's chromatograms, threads the worker threads (None or 0: one per CPU), centroid None for profile "
     "spectra or the picker's parameters (as Run.peaks takes them) for centroid spectra. Drive it with "
     "advance()."},
    {"convert_mgf", as_cfunction(convert_mgf), METH_FASTCALL | METH_KEYWORDS,
     "convert_mgf(run, fd, threads=None, centroid=None)\n--\n\n"
     "Start writing the fragment spectra of `run` with a precursor m/z as MGF to fd, their profile peaks or "
     "(centroid as for convert_mzml) their centroids. Drive it with advance()."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_run_conversion(PyObject* module) {
    Ref type = Ref::steal(conversion_type());
    return type && PyModule_AddObjectRef(module, "Conversion", type.get()) == 0 &&
           PyModule_AddFunctions(module, conversion_functions) == 0;
}

}  // namespace corvex::engine::python
