// Spectrum: one spectrum record, shown as read-only properties that build
// fresh Python values on every access.
#include <cmath>
#include <new>
#include <string>

#include "corvex/python/borrow.hpp"
#include "corvex/python/classes.hpp"
#include "corvex/python/convert.hpp"
#include "corvex/python/errors.hpp"

namespace corvex::python {

namespace {

struct SpectrumObject {
    PyObject_HEAD
    BorrowFlag access;
    lumora::SpectrumRecord record;
};

SpectrumObject* as_spectrum(PyObject* self) { return reinterpret_cast<SpectrumObject*>(self); }

void spectrum_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_spectrum(self)->~SpectrumObject();
    type->tp_free(self);
    Py_DECREF(type);
}

using Read = PyObject* (*)(const lumora::SpectrumRecord&);

// One getter per property, each under shared access.
template <Read read>
PyObject* get(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        auto access = SharedAccess::acquire(as_spectrum(self)->access);
        if (!access) return nullptr;
        return read(as_spectrum(self)->record);
    });
}

using Record = lumora::SpectrumRecord;

PyGetSetDef spectrum_properties[] = {
    {"index", get<[](const Record& r) { return py_int(r.index); }>, nullptr, nullptr, nullptr},
    {"scan_number", get<[](const Record& r) { return py_int(r.scan_number); }>, nullptr, nullptr, nullptr},
    {"native_id", get<[](const Record& r) { return py_text(r.native_id); }>, nullptr, nullptr, nullptr},
    {"ms_level", get<[](const Record& r) { return py_int(r.ms_level); }>, nullptr, nullptr, nullptr},
    {"polarity", get<[](const Record& r) { return py_optional(r.polarity); }>, nullptr, nullptr, nullptr},
    {"scan_mode", get<[](const Record& r) { return py_optional(r.scan_mode); }>, nullptr, nullptr, nullptr},
    {"analyzer", get<[](const Record& r) { return py_optional(r.analyzer); }>, nullptr, nullptr, nullptr},
    {"acquisition_event_id", get<[](const Record& r) { return py_optional(r.acquisition_event_id); }>, nullptr,
     nullptr, nullptr},
    {"filter", get<[](const Record& r) { return py_optional(r.filter); }>, nullptr, nullptr, nullptr},
    {"retention_time_sec", get<[](const Record& r) { return py_float(r.retention_time_sec); }>, nullptr, nullptr,
     nullptr},
    {"total_ion_current", get<[](const Record& r) { return py_float(r.effective_tic()); }>, nullptr, nullptr,
     nullptr},
    {"reported_total_ion_current", get<[](const Record& r) { return py_optional(r.reported_total_ion_current); }>,
     nullptr, nullptr, nullptr},
    {"base_peak_mz",
     get<[](const Record& r) {
         auto peak = r.effective_base_peak();
         return peak ? py_float(peak->mz) : py_none();
     }>,
     nullptr, nullptr, nullptr},
    {"reported_base_peak_mz", get<[](const Record& r) { return py_optional(r.reported_base_peak_mz); }>, nullptr,
     nullptr, nullptr},
    {"base_peak_intensity",
     get<[](const Record& r) {
         auto peak = r.effective_base_peak();
         return peak ? py_float(peak->intensity) : py_none();
     }>,
     nullptr, nullptr, nullptr},
    {"reported_base_peak_intensity",
     get<[](const Record& r) { return py_optional(r.reported_base_peak_intensity); }>, nullptr, nullptr, nullptr},
    {"low_mz", get<[](const Record& r) { return py_optional(r.low_mz); }>, nullptr, nullptr, nullptr},
    {"high_mz", get<[](const Record& r) { return py_optional(r.high_mz); }>, nullptr, nullptr, nullptr},
    {"ion_injection_time_ms", get<[](const Record& r) { return py_optional(r.ion_injection_time_ms); }>, nullptr,
     nullptr, nullptr},
    {"inv_mobility", get<[](const Record& r) { return py_optional(r.inv_mobility); }>, nullptr, nullptr, nullptr},
    {"faims_cv", get<[](const Record& r) { return py_optional(r.faims_cv); }>, nullptr, nullptr, nullptr},
    {"precursor", get<[](const Record& r) { return r.precursor ? precursor_dict(*r.precursor) : py_none(); }>,
     nullptr, nullptr, nullptr},
    {"mz", get<[](const Record& r) { return py_float_list(r.mz); }>, nullptr, nullptr, nullptr},
    {"intensity", get<[](const Record& r) { return py_float_list(r.intensity); }>, nullptr, nullptr, nullptr},
    {"inv_mobility_per_peak",
     get<[](const Record& r) {
         return r.inv_mobility_per_peak ? py_float_list(*r.inv_mobility_per_peak) : py_none();
     }>,
     nullptr, nullptr, nullptr},
    {"extra", get<[](const Record& r) { return py_extra(r.extra); }>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

Py_ssize_t spectrum_length(PyObject* self) {
    auto access = SharedAccess::acquire(as_spectrum(self)->access);
    if (!access) return -1;
    return static_cast<Py_ssize_t>(as_spectrum(self)->record.mz.size());
}

// Two decimals, correctly rounded from the binary value with ties to even,
// as Python's '%.2f' gives them; "NaN" and "inf" for the special values.
std::string two_decimals(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char* text = PyOS_double_to_string(value, 'f', 2, 0, nullptr);
    if (!text) throw std::bad_alloc();
    std::string result(text);
    PyMem_Free(text);
    return result;
}

PyObject* spectrum_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto access = SharedAccess::acquire(as_spectrum(self)->access);
        if (!access) return nullptr;
        const Record& record = as_spectrum(self)->record;
        const std::string text = "Spectrum(" + std::to_string(record.mz.size()) + " peaks, RT " +
                                 two_decimals(record.retention_time_sec) + "s)";
        return py_text(text);
    });
}

PyType_Slot spectrum_slots[] = {
    {Py_tp_doc, const_cast<char*>("A complete vendor-neutral spectrum record. Peak arrays remain Python lists\n"
                                  "for compatibility with the original native binding.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(spectrum_dealloc)},
    {Py_tp_getset, spectrum_properties},
    {Py_mp_length, reinterpret_cast<void*>(spectrum_length)},
    {Py_tp_repr, reinterpret_cast<void*>(spectrum_repr)},
    {0, nullptr},
};

PyType_Spec spectrum_spec = {
    // The dotted name sets __module__; __name__ and __qualname__ stay bare.
    "corvex.Spectrum",
    sizeof(SpectrumObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    spectrum_slots,
};

}  // namespace

PyObject* spectrum_type() {
    static PyObject* type = nullptr;
    return cached_type(type, spectrum_spec);
}

PyObject* new_spectrum(lumora::SpectrumRecord&& record) {
    Ref type = Ref::steal(spectrum_type());
    if (!type) return nullptr;
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    PyObject* self = type_object->tp_alloc(type_object, 0);
    if (!self) return nullptr;
    // tp_alloc took its own reference to the heap type for the instance.
    new (&as_spectrum(self)->access) BorrowFlag();
    new (&as_spectrum(self)->record) lumora::SpectrumRecord(std::move(record));
    return self;
}

}  // namespace corvex::python
