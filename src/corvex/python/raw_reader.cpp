// RawReader: one opened sample with every spectrum decoded at construction,
// plus views of the run metadata, chromatograms and decoded streams.
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "corvex/python/args.hpp"
#include "corvex/python/borrow.hpp"
#include "corvex/python/classes.hpp"
#include "corvex/python/convert.hpp"
#include "corvex/python/errors.hpp"
#include "corvex/python/metadata.hpp"
#include "corvex/reader.hpp"

namespace corvex::python {

namespace {

struct RawReaderObject {
    PyObject_HEAD
    BorrowFlag access;
    Reader reader;
    std::string path;
    std::vector<lumora::SpectrumRecord> spectra;
};

RawReaderObject* as_reader(PyObject* self) { return reinterpret_cast<RawReaderObject*>(self); }

void raw_reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_reader(self)->~RawReaderObject();
    type->tp_free(self);
    Py_DECREF(type);
}

// Decodes every spectrum, then makes the object. Nothing is allocated on
// the Python side until the whole sample has decoded, so a failure leaves
// no object behind.
PyObject* from_reader(PyTypeObject* type, Reader reader, std::string path) {
    lumora::SpectrumSequence sequence = reader.iter_spectra();
    std::vector<lumora::SpectrumRecord> spectra;
    spectra.reserve(sequence.size_hint());
    while (auto item = sequence.next()) {
        if (!item->ok()) return core_to_py_err(std::move(*item).error()).restore();
        spectra.push_back(std::move(*item).value());
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    RawReaderObject* object = as_reader(self);
    new (&object->access) BorrowFlag();
    new (&object->reader) Reader(std::move(reader));
    new (&object->path) std::string(std::move(path));
    new (&object->spectra) std::vector<lumora::SpectrumRecord>(std::move(spectra));
    return self;
}

PyObject* raw_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"path"};
        static const Signature signature{"RawReader.__new__()", params, 1};
        PyObject* matched[1];
        if (!match_tuple(signature, args, kwargs, matched)) return nullptr;
        auto path = to_text(matched[0], "path");
        if (!path) return nullptr;
        auto reader = Reader::open(*path);
        if (!reader) return to_py_err(std::move(reader).error()).restore();
        return from_reader(type, std::move(reader).value(), std::move(*path));
    });
}

PyObject* open_sample(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"path", "sample"};
        static const Signature signature{"open_sample()", params, 2};
        PyObject* matched[2];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return nullptr;
        auto path = to_text(matched[0], "path");
        if (!path) return nullptr;
        auto sample = to_text(matched[1], "sample");
        if (!sample) return nullptr;
        auto reader = Reader::open_sample(*path, *sample);
        if (!reader) return to_py_err(std::move(reader).error()).restore();
        Ref type = Ref::steal(raw_reader_type());
        if (!type) return nullptr;
        return from_reader(reinterpret_cast<PyTypeObject*>(type.get()), std::move(reader).value(), std::move(*path));
    });
}

// Copies what a method needs out of the object under shared access with
// `take(object)`, then builds the result from the copy with `build(copy)`
// after the access is released. Building Python objects can run Python code
// (a garbage collection with finalizers or callbacks), which may let another
// thread run; the access flag must not be held then, or a thread calling
// read_chromatograms would be refused even where the interpreter lock
// serialises every call.
template <class Take, class Build>
PyObject* with_shared(PyObject* self, Take&& take, Build&& build) {
    return guarded([&]() -> PyObject* {
        auto copy = [&] {
            auto access = SharedAccess::acquire(as_reader(self)->access);
            using Copy = decltype(take(*as_reader(self)));
            if (!access) return std::optional<Copy>();
            return std::optional<Copy>(take(*as_reader(self)));
        }();
        if (!copy) return nullptr;
        return build(*copy);
    });
}

PyObject* get_scan_count(PyObject* self, void*) {
    return with_shared(
        self, [](RawReaderObject& r) { return std::uint64_t{r.spectra.size()}; },
        [](std::uint64_t count) { return py_int(count); });
}

PyObject* get_sample_name(PyObject* self, void*) {
    return with_shared(
        self, [](RawReaderObject& r) { return r.reader.sample().sample_name; },
        [](const std::string& name) { return py_text(name); });
}

PyObject* read_spectrum(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"scan_index"};
        static const Signature signature{"RawReader.read_spectrum()", params, 1};
        PyObject* matched[1];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return nullptr;
        // Converted before the access is taken: __index__ is Python code.
        auto index = to_index(matched[0], "scan_index");
        if (!index) return nullptr;
        return with_shared(
            self,
            [&](RawReaderObject& r) -> std::optional<lumora::SpectrumRecord> {
                if (*index >= r.spectra.size()) return std::nullopt;
                return r.spectra[*index];
            },
            [&](std::optional<lumora::SpectrumRecord>& record) -> PyObject* {
                if (!record) {
                    return PyErr_Format(PyExc_IndexError, "scan %llu out of range",
                                        static_cast<unsigned long long>(*index));
                }
                return new_spectrum(std::move(*record));
            });
    });
}

PyObject* run_info(PyObject* self, PyObject*) {
    return with_shared(
        self, [](RawReaderObject& r) { return r.reader.run_metadata(); }, run_info_dict);
}

PyObject* instrument_info(PyObject* self, PyObject*) {
    return with_shared(
        self, [](RawReaderObject& r) { return r.reader.sample().instrument_info; }, instrument_info_value);
}

PyObject* calibration(PyObject* self, PyObject*) {
    return with_shared(
        self, [](RawReaderObject& r) { return r.reader.sample().calibration; }, calibration_value);
}

PyObject* ion_source_parameters(PyObject* self, PyObject*) {
    return with_shared(
        self, [](RawReaderObject& r) { return r.reader.sample().ion_source_parameters; }, ion_source_dict);
}

PyObject* dde_precursor_mz(PyObject* self, PyObject*) {
    return with_shared(
        self, [](RawReaderObject& r) { return r.reader.sample().dde_records; }, dde_precursor_list);
}

PyObject* read_chromatograms(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        // Every chromatogram is produced under exclusive access; the Python
        // objects are built after it is released (see with_shared).
        std::vector<lumora::ChromatogramRecord> records;
        {
            auto access = ExclusiveAccess::acquire(as_reader(self)->access);
            if (!access) return nullptr;
            lumora::ChromatogramSequence sequence = as_reader(self)->reader.iter_chromatograms();
            while (auto item = sequence.next()) {
                if (!item->ok()) return core_to_py_err(std::move(*item).error()).restore();
                records.push_back(std::move(*item).value());
            }
        }
        return chromatogram_list(records);
    });
}

PyObject* scan_index(PyObject* self, PyObject*) {
    return with_shared(
        self, [](RawReaderObject& r) { return r.reader.sample().idx_records; }, scan_index_list);
}

PyObject* raw_reader_repr(PyObject* self) {
    return with_shared(
        self,
        [](RawReaderObject& r) {
            return "RawReader('" + r.path + "', " + std::to_string(r.spectra.size()) + " scans)";
        },
        [](const std::string& text) { return py_text(text); });
}

PyMethodDef raw_reader_methods[] = {
    {"read_spectrum", as_cfunction(read_spectrum), METH_FASTCALL | METH_KEYWORDS,
     "read_spectrum($self, scan_index)\n--\n\n"},
    {"run_info", as_cfunction(run_info), METH_NOARGS, "run_info($self)\n--\n\n"},
    {"instrument_info", as_cfunction(instrument_info), METH_NOARGS,
     "instrument_info($self)\n--\n\nInstrument identity decoded from the WIFF Log stream."},
    {"calibration", as_cfunction(calibration), METH_NOARGS,
     "calibration($self)\n--\n\nTOF m/z calibration coefficients, when present."},
    {"ion_source_parameters", as_cfunction(ion_source_parameters), METH_NOARGS,
     "ion_source_parameters($self)\n--\n\nNamed ion source parameters decoded from the selected method."},
    {"dde_precursor_mz", as_cfunction(dde_precursor_mz), METH_NOARGS,
     "dde_precursor_mz($self)\n--\n\nData-dependent precursor m/z values in their source stream order."},
    {"read_chromatograms", as_cfunction(read_chromatograms), METH_NOARGS, "read_chromatograms($self)\n--\n\n"},
    {"scan_index", as_cfunction(scan_index), METH_NOARGS,
     "scan_index($self)\n--\n\nDecoded WIFF scan index values, including instrument-reported TIC."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef raw_reader_properties[] = {
    {"scan_count", get_scan_count, nullptr, nullptr, nullptr},
    {"sample_name", get_sample_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot raw_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("RawReader(path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(raw_reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(raw_reader_dealloc)},
    {Py_tp_methods, raw_reader_methods},
    {Py_tp_getset, raw_reader_properties},
    {Py_tp_repr, reinterpret_cast<void*>(raw_reader_repr)},
    {0, nullptr},
};

PyType_Spec raw_reader_spec = {
    // The dotted name sets __module__; __name__ and __qualname__ stay bare.
    "corvex.RawReader",
    sizeof(RawReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    raw_reader_slots,
};

}  // namespace

PyObject* raw_reader_type() {
    static PyObject* type = nullptr;
    return cached_type(type, raw_reader_spec);
}

PyMethodDef open_sample_def = {
    "open_sample",
    as_cfunction(open_sample),
    METH_FASTCALL | METH_KEYWORDS,
    "open_sample(path, sample)\n--\n\n",
};

}  // namespace corvex::python
