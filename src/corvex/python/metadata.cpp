#include "corvex/python/metadata.hpp"

#include "corvex/python/convert.hpp"

namespace corvex::python {

PyObject* run_info_dict(const lumora::RunMetadata& metadata) {
    Ref analyzers = Ref::steal(py_list(metadata.analyzers.size(), [&](std::size_t i) {
        return py_text(lumora::to_text(metadata.analyzers[i]));
    }));
    if (!analyzers) return nullptr;
    return py_dict({
        {"source_file_name", py_text(metadata.source_file_name)},
        {"source_file_format", cv_term_dict(metadata.source_file_format)},
        {"native_id_format", cv_term_dict(metadata.native_id_format)},
        {"instrument", cv_term_dict(metadata.instrument)},
        {"instrument_serial_number", py_optional(metadata.instrument_serial_number)},
        {"software_name", py_text(metadata.software_name)},
        {"software_version", py_text(metadata.software_version)},
        {"acquisition_software_name", py_optional(metadata.acquisition_software_name)},
        {"acquisition_software_version", py_optional(metadata.acquisition_software_version)},
        {"start_timestamp", py_optional(metadata.start_timestamp)},
        {"mobility_array_kind", py_optional(metadata.mobility_array_kind)},
        {"analyzers", analyzers.release()},
        {"extra", py_extra(metadata.extra)},
    });
}

PyObject* instrument_info_value(const std::optional<raw::InstrumentInfo>& info) {
    if (!info) return py_none();
    return py_dict({
        {"component_id", py_text(info->component_id)},
        {"manufacturer", py_optional(info->manufacturer)},
        {"model_number", py_optional(info->model_number)},
        {"serial_number", py_optional(info->serial_number)},
    });
}

PyObject* calibration_value(const std::optional<raw::Calibration>& calibration) {
    if (!calibration) return py_none();
    return py_dict({{"slope", py_float(calibration->slope)}, {"intercept", py_float(calibration->intercept)}});
}

PyObject* ion_source_dict(const std::vector<raw::SourceParameter>& parameters) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    // A repeated name keeps its first position and takes the later value,
    // which is what dict assignment does.
    for (const raw::SourceParameter& parameter : parameters) {
        Ref name = Ref::steal(py_text(parameter.name));
        Ref value = Ref::steal(py_float(parameter.value));
        if (!name || !value || PyDict_SetItem(dict.get(), name.get(), value.get()) != 0) return nullptr;
    }
    return dict.release();
}

PyObject* dde_precursor_list(const std::vector<raw::DdeRecord>& records) {
    return py_list(records.size(), [&](std::size_t i) { return py_float(records[i].precursor_mz); });
}

namespace {

PyObject* chromatogram_dict(const lumora::ChromatogramRecord& record) {
    return py_dict({
        {"index", py_int(record.index)},
        {"id", py_text(record.id)},
        {"chromatogram_type", record.chromatogram_type ? cv_term_dict(*record.chromatogram_type) : py_none()},
        {"precursor_mz", py_optional(record.precursor_mz)},
        {"product_mz", py_optional(record.product_mz)},
        {"time_sec", py_float_list(record.time_sec)},
        {"intensity", py_float_list(record.intensity)},
    });
}

}  // namespace

PyObject* chromatogram_list(const std::vector<lumora::ChromatogramRecord>& records) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const lumora::ChromatogramRecord& record : records) {
        Ref dict = Ref::steal(chromatogram_dict(record));
        if (!dict || PyList_Append(list.get(), dict.get()) != 0) return nullptr;
    }
    return list.release();
}

PyObject* scan_index_list(const std::vector<raw::IdxRecord>& records) {
    return py_list(records.size(), [&](std::size_t i) {
        const raw::IdxRecord& record = records[i];
        return py_dict({
            {"scan_offset", py_int(record.scan_offset)},
            {"scan_size", py_int(record.scan_size)},
            {"retention_time_min", py_float(record.retention_time_min)},
            {"ms_level", py_int(record.ms_level)},
            {"tic", py_float(record.tic)},
        });
    });
}

}  // namespace corvex::python
