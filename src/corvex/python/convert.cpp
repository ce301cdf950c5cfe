#include "corvex/python/convert.hpp"

namespace corvex::python {

namespace {
template <class T>
PyObject* float_list(std::span<const T> values) {
    return py_list(values.size(), [values](std::size_t i) { return PyFloat_FromDouble(static_cast<double>(values[i])); });
}
}  // namespace

PyObject* py_float_list(std::span<const double> values) { return float_list(values); }
PyObject* py_float_list(std::span<const float> values) { return float_list(values); }

PyObject* py_dict(std::initializer_list<DictItem> items) {
    Ref dict = Ref::steal(PyDict_New());
    bool ok = static_cast<bool>(dict);
    for (const DictItem& item : items) {
        Ref value = Ref::steal(item.value);
        if (ok) ok = value && PyDict_SetItemString(dict.get(), item.key, value.get()) == 0;
    }
    return ok ? dict.release() : nullptr;
}

PyObject* py_extra(const lumora::ExtraMap& extra) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, value] : extra) {
        Ref py_key = Ref::steal(py_text(key));
        Ref py_value = Ref::steal(py_text(value));
        if (!py_key || !py_value || PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) != 0) return nullptr;
    }
    return dict.release();
}

PyObject* cv_term_dict(const lumora::CvTerm& term) {
    return py_dict({{"accession", py_text(term.accession.view())}, {"name", py_text(term.name.view())}});
}

PyObject* precursor_dict(const lumora::Precursor& precursor) {
    return py_dict({
        {"target_mz", py_optional(precursor.target_mz)},
        {"selected_mz", py_optional(precursor.selected_mz)},
        {"isolation_width", py_optional(precursor.isolation_width)},
        {"charge", py_optional(precursor.charge)},
        {"intensity", py_optional(precursor.intensity)},
        {"collision_energy", py_optional(precursor.collision_energy)},
        {"ce_is_nce", py_bool(precursor.ce_is_nce)},
        {"precursor_native_id", py_optional(precursor.precursor_native_id)},
        {"activation", py_optional(precursor.activation)},
        {"analyzer", py_optional(precursor.analyzer)},
        {"ccs", py_optional(precursor.ccs)},
    });
}

}  // namespace corvex::python
