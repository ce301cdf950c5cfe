// Peak picking on arrays: a picker object with its parameters and working
// memory; one profile spectrum's channels and intensities in, its centroids
// out as buffers for numpy.frombuffer, with the interpreter released while
// the picker runs.
#include <array>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "corvex/python/args.hpp"
#include "corvex/python/convert.hpp"
#include "corvex/python/errors.hpp"
#include "corvex/python/types.hpp"
#include "engine/python/array_argument.hpp"
#include "engine/python/centroid.hpp"
#include "engine/python/features.hpp"
#include "engine/python/owned_buffer.hpp"

namespace corvex::engine::python {

namespace {

using corvex::python::guarded;
using corvex::python::py_dict;
using corvex::python::py_float;
using corvex::python::Ref;

constexpr std::array<std::pair<std::string_view, CentroidPosition>, 2> position_names = {{
    {"half_height_centroid", CentroidPosition::half_height_centroid},
    {"gaussian_fit", CentroidPosition::gaussian_fit},
}};

std::string_view position_name(CentroidPosition position) {
    for (const auto& [name, value] : position_names) {
        if (value == position) return name;
    }
    return {};
}

std::optional<double> to_double(PyObject* value) {
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) return std::nullopt;
    return result;
}

// Counts above 2^32 - 1 are taken as 2^32 - 1.
std::optional<std::uint32_t> to_count(PyObject* value, const char* name) {
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (result == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow < 0 || (overflow == 0 && result < 0)) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative", name);
        return std::nullopt;
    }
    if (overflow > 0) return UINT32_MAX;
    return static_cast<std::uint32_t>(std::min<long long>(result, UINT32_MAX));
}

std::optional<CentroidPosition> to_position(PyObject* value) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &length);
    if (!text) return std::nullopt;
    const std::string_view name(text, static_cast<std::size_t>(length));
    for (const auto& [known, position] : position_names) {
        if (known == name) return position;
    }
    PyErr_Format(PyExc_ValueError, "position must be 'half_height_centroid' or 'gaussian_fit', not '%s'", text);
    return std::nullopt;
}

}  // namespace

std::optional<CentroidParameters> centroid_parameters(std::span<PyObject* const, centroid_parameter_count> values) {
    const auto min_snr = to_double(values[0]);
    if (!min_snr) return std::nullopt;
    const auto min_intensity = to_double(values[1]);
    if (!min_intensity) return std::nullopt;
    const auto min_points = to_count(values[2], centroid_parameter_names[2]);
    if (!min_points) return std::nullopt;
    const auto max_gap_channels = to_count(values[3], centroid_parameter_names[3]);
    if (!max_gap_channels) return std::nullopt;
    const int single_point_peaks = PyObject_IsTrue(values[4]);
    if (single_point_peaks < 0) return std::nullopt;
    const auto valley_ratio = to_double(values[5]);
    if (!valley_ratio) return std::nullopt;
    const auto min_valley_snr = to_double(values[6]);
    if (!min_valley_snr) return std::nullopt;
    const auto position = to_position(values[7]);
    if (!position) return std::nullopt;
    const CentroidParameters parameters{
        .min_snr = *min_snr,
        .min_intensity = *min_intensity,
        .min_points = *min_points,
        .max_gap_channels = *max_gap_channels,
        .single_point_peaks = single_point_peaks != 0,
        .valley_ratio = *valley_ratio,
        .min_valley_snr = *min_valley_snr,
        .position = *position,
    };
    if (const auto error = parameter_error(parameters)) {
        PyErr_SetString(PyExc_ValueError, std::string(*error).c_str());
        return std::nullopt;
    }
    return parameters;
}

std::optional<PeakOptions> peak_options(PyObject* value) {
    if (!value || value == Py_None) return PeakOptions{};
    if (!PyTuple_Check(value) || PyTuple_GET_SIZE(value) != static_cast<Py_ssize_t>(centroid_parameter_count)) {
        PyErr_Format(PyExc_TypeError, "centroid must be None or a tuple of the %zu peak picking parameters",
                     centroid_parameter_count);
        return std::nullopt;
    }
    std::array<PyObject*, centroid_parameter_count> values;
    for (std::size_t k = 0; k < values.size(); ++k) values[k] = PyTuple_GET_ITEM(value, static_cast<Py_ssize_t>(k));
    auto parameters = centroid_parameters(values);
    if (!parameters) return std::nullopt;
    return PeakOptions{.centroid = *parameters};
}


namespace {

// A picker: its parameters and the working memory it keeps from one
// spectrum to the next. A call that finds the memory in use by another
// thread works in memory of its own instead of waiting.
struct PickerObject {
    PyObject_HEAD
    CentroidParameters parameters;
    std::mutex scratch_in_use;
    CentroidScratch scratch;
};

PickerObject* as_picker(PyObject* self) { return reinterpret_cast<PickerObject*>(self); }

// What the picker run without the interpreter produced: the centroids, or
// the failure to raise once the interpreter is back.
struct Outcome {
    Centroids centroids;
    std::optional<std::vector<double>> mz;  // with a calibration
    bool out_of_memory = false;
    std::string fault;
};

void run_picker(PickerObject& picker, std::span<const std::uint32_t> channels, std::span<const float> intensities,
                const std::optional<raw::Calibration>& calibration, Outcome& outcome) noexcept {
    try {
        std::unique_lock<std::mutex> own(picker.scratch_in_use, std::try_to_lock);
        std::optional<CentroidScratch> spare;
        CentroidScratch& scratch = own.owns_lock() ? picker.scratch : spare.emplace();
        centroid_profile(channels, intensities, picker.parameters, scratch, outcome.centroids);
        if (calibration) {
            outcome.mz.emplace(outcome.centroids.size());
            channels_to_mz(*calibration, outcome.centroids.channel, *outcome.mz);
        }
    } catch (const std::bad_alloc&) {
        outcome.out_of_memory = true;
    } catch (const std::exception& fault) {
        outcome.fault = fault.what();
    } catch (...) {
        outcome.fault = "unknown C++ exception";
    }
}

PyObject* to_result(Outcome& outcome) {
    if (outcome.out_of_memory) return PyErr_NoMemory();
    if (!outcome.fault.empty()) {
        corvex::python::raise_fatal(outcome.fault.c_str());
        return nullptr;
    }
    Centroids& centroids = outcome.centroids;
    Ref channel = Ref::steal(owned_buffer(std::move(centroids.channel)));
    if (!channel) return nullptr;
    Ref mz = Ref::borrow(Py_None);
    if (outcome.mz) {
        mz = Ref::steal(owned_buffer(std::move(*outcome.mz)));
        if (!mz) return nullptr;
    }
    Ref intensity = Ref::steal(owned_buffer(std::move(centroids.intensity)));
    if (!intensity) return nullptr;
    Ref apex = Ref::steal(owned_buffer(std::move(centroids.apex_intensity)));
    if (!apex) return nullptr;
    Ref points = Ref::steal(owned_buffer(std::move(centroids.point_count)));
    if (!points) return nullptr;
    return Py_BuildValue("(NNNNNdd)", channel.release(), mz.release(), intensity.release(), apex.release(),
                         points.release(), centroids.noise.baseline, centroids.noise.sigma);
}

// The arguments of pick(), checked, with the arrays held.
struct Call {
    ArrayArgument<std::uint32_t> channels;
    ArrayArgument<float> intensities;
    std::optional<raw::Calibration> calibration;
};

bool prepare(Call& call, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* params[] = {"channels", "intensities", "slope", "intercept"};
    static const corvex::python::Signature signature{"CentroidPicker.pick()", params, std::size(params)};
    PyObject* matched[std::size(params)];
    if (!corvex::python::match_fastcall(signature, args, nargs, kwnames, matched)) return false;
    if (!call.channels.get(matched[0], "channels")) return false;
    if (!call.intensities.get(matched[1], "intensities")) return false;
    if (call.channels.values().size() != call.intensities.values().size()) {
        PyErr_SetString(PyExc_ValueError, "channels and intensities differ in length");
        return false;
    }
    if ((matched[2] == Py_None) != (matched[3] == Py_None)) {
        PyErr_SetString(PyExc_ValueError, "give both slope and intercept, or neither");
        return false;
    }
    if (matched[2] != Py_None) {
        const auto slope = to_double(matched[2]);
        const auto intercept = to_double(matched[3]);
        if (!slope || !intercept) return false;
        call.calibration = raw::Calibration{.slope = *slope, .intercept = *intercept};
    }
    return true;
}

PyObject* picker_pick(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Call call;
    if (guarded([&]() -> int { return prepare(call, args, nargs, kwnames) ? 0 : -1; }) != 0) return nullptr;
    Outcome outcome;
    // No try block or noexcept function around the re-attach: see the
    // spectrum iterator of the corvex module.
    PyThreadState* detached = PyEval_SaveThread();
    run_picker(*as_picker(self), call.channels.values(), call.intensities.values(), call.calibration, outcome);
    PyEval_RestoreThread(detached);
    return guarded([&]() -> PyObject* { return to_result(outcome); });
}

PyObject* picker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const corvex::python::Signature signature{"CentroidPicker()", centroid_parameter_names,
                                                         centroid_parameter_count};
        PyObject* matched[centroid_parameter_count];
        if (!corvex::python::match_tuple(signature, args, kwargs, matched)) return nullptr;
        const auto parameters = centroid_parameters(matched);
        if (!parameters) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        new (&as_picker(self)->parameters) CentroidParameters(*parameters);
        new (&as_picker(self)->scratch_in_use) std::mutex();
        new (&as_picker(self)->scratch) CentroidScratch();
        return self;
    });
}

void picker_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PickerObject& picker = *as_picker(self);
    picker.scratch.~CentroidScratch();
    picker.scratch_in_use.~mutex();
    picker.parameters.~CentroidParameters();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef picker_methods[] = {
    {"pick", corvex::python::as_cfunction(picker_pick),
     METH_FASTCALL | METH_KEYWORDS,
     "pick($self, channels, intensities, slope, intercept)\n--\n\n"
     "Centroids of one profile spectrum: (channel, mz or None, intensity, apex_intensity, point_count, "
     "baseline, noise), the arrays as buffers."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot picker_slots[] = {
    {Py_tp_doc, const_cast<char*>("CentroidPicker(min_snr, min_intensity, min_points, max_gap_channels, "
                                  "single_point_peaks, valley_ratio, min_valley_snr, position)\n--\n\n"
                                  "A peak picker; use corvex_tools.centroid instead.")},
    {Py_tp_new, reinterpret_cast<void*>(picker_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(picker_dealloc)},
    {Py_tp_methods, picker_methods},
    {0, nullptr},
};

PyType_Spec picker_spec = {
    "corvex_tools._native.CentroidPicker",
    sizeof(PickerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    picker_slots,
};

PyObject* centroid_defaults(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        const CentroidParameters defaults;
        const std::string_view position = position_name(defaults.position);
        const auto* names = centroid_parameter_names;
        return py_dict({
            {names[0], py_float(defaults.min_snr)},
            {names[1], py_float(defaults.min_intensity)},
            {names[2], corvex::python::py_int(defaults.min_points)},
            {names[3], corvex::python::py_int(defaults.max_gap_channels)},
            {names[4], corvex::python::py_bool(defaults.single_point_peaks)},
            {names[5], py_float(defaults.valley_ratio)},
            {names[6], py_float(defaults.min_valley_snr)},
            {names[7], corvex::python::py_text(position)},
        });
    });
}

PyMethodDef centroid_functions[] = {
    {"centroid_defaults", centroid_defaults, METH_NOARGS,
     "centroid_defaults()\n--\n\nThe peak picker's default parameters, by name, in the order CentroidPicker() "
     "takes them."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_centroid(PyObject* module) {
    if (PyModule_AddFunctions(module, centroid_functions) != 0) return false;
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &picker_spec, nullptr));
    return type && PyModule_AddObjectRef(module, "CentroidPicker", type.get()) == 0;
}

}  // namespace corvex::engine::python
