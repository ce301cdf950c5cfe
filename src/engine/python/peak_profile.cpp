// corvex_tools._native.peak_stats and bin_peaks: the per-peak pass of the run
// report over numpy arrays (or any buffer), read in place with the
// interpreter released.
#include <array>
#include <bit>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "corvex/python/args.hpp"
#include "corvex/python/errors.hpp"
#include "corvex/python/types.hpp"
#include "engine/peak_profile.hpp"
#include "engine/python/features.hpp"

namespace corvex::engine::python {

namespace {

// Whether a buffer format string describes one native T.
template <class T>
bool has_format(std::string_view format) {
    if (!format.empty() && (format[0] == '@' || format[0] == '=' ||
                            (format[0] == '<' && std::endian::native == std::endian::little))) {
        format.remove_prefix(1);
    }
    if (format.size() != 1) return false;
    if constexpr (std::is_same_v<T, double>) return format[0] == 'd';
    if constexpr (std::is_same_v<T, float>) return format[0] == 'f';
    // numpy's uint64 is 'L' where long has 64 bits.
    if constexpr (std::is_same_v<T, std::uint64_t>) return format[0] == 'Q' || (format[0] == 'L' && sizeof(long) == 8);
    return false;
}

template <class T>
constexpr const char* type_name() {
    if constexpr (std::is_same_v<T, double>) return "float64";
    if constexpr (std::is_same_v<T, float>) return "float32";
    return "uint64";
}

// A one-dimensional, C-contiguous buffer of T, held for the life of the view.
template <class T>
class BufferView {
public:
    using Element = std::remove_const_t<T>;

    // Sets TypeError (or the exporter's error) and gives nothing on a mismatch.
    static std::optional<BufferView> get(PyObject* object, const char* param) {
        BufferView view;
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (std::is_const_v<T> ? 0 : PyBUF_WRITABLE);
        if (PyObject_GetBuffer(object, &view.buffer_, flags) != 0) return std::nullopt;
        view.held_ = true;
        if (view.buffer_.ndim != 1 || view.buffer_.itemsize != sizeof(Element) ||
            !has_format<Element>(view.buffer_.format ? view.buffer_.format : "B")) {
            const std::string message = std::string("'") + param + "' must be a one-dimensional contiguous " +
                                        (std::is_const_v<T> ? "" : "writable ") + type_name<Element>() + " array";
            PyErr_SetString(PyExc_TypeError, message.c_str());
            return std::nullopt;
        }
        return view;
    }

    BufferView(BufferView&& other) noexcept : buffer_(other.buffer_), held_(std::exchange(other.held_, false)) {}
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    BufferView& operator=(BufferView&&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&buffer_);
    }

    std::span<T> span() const noexcept {
        return {static_cast<T*>(buffer_.buf), static_cast<std::size_t>(buffer_.len) / sizeof(Element)};
    }

private:
    BufferView() = default;
    Py_buffer buffer_{};
    bool held_ = false;
};

struct Peaks {
    BufferView<const double> mz;
    BufferView<const float> intensity;
};

std::optional<Peaks> peak_arrays(PyObject* mz_object, PyObject* intensity_object) {
    auto mz = BufferView<const double>::get(mz_object, "mz");
    if (!mz) return std::nullopt;
    auto intensity = BufferView<const float>::get(intensity_object, "intensity");
    if (!intensity) return std::nullopt;
    if (mz->span().size() != intensity->span().size()) {
        PyErr_SetString(PyExc_ValueError, "'mz' and 'intensity' differ in length");
        return std::nullopt;
    }
    return Peaks{std::move(*mz), std::move(*intensity)};
}

std::optional<double> to_double(PyObject* value) {
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) return std::nullopt;
    return result;
}

constexpr const char* stats_params[] = {"mz", "intensity", "histogram"};
constexpr corvex::python::Signature stats_signature{"peak_stats()", stats_params, 3};

PyObject* peak_stats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return corvex::python::guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> in{};
        if (!corvex::python::match_fastcall(stats_signature, args, nargs, kwnames, in)) return nullptr;
        auto peaks = peak_arrays(in[0], in[1]);
        if (!peaks) return nullptr;
        auto histogram = BufferView<std::uint64_t>::get(in[2], "histogram");
        if (!histogram) return nullptr;
        if (histogram->span().size() != kIntensityBins) {
            const std::string message = "'histogram' must have " + std::to_string(kIntensityBins) + " bins";
            PyErr_SetString(PyExc_ValueError, message.c_str());
            return nullptr;
        }
        const std::span<std::uint64_t, kIntensityBins> bins(histogram->span());
        PeakStats stats;
        Py_BEGIN_ALLOW_THREADS
        stats = engine::peak_stats(peaks->mz.span(), peaks->intensity.span(), bins);
        Py_END_ALLOW_THREADS
        return Py_BuildValue("(Kddd)", static_cast<unsigned long long>(stats.count), stats.intensity_sum,
                             stats.base_peak_mz, static_cast<double>(stats.base_peak_intensity));
    });
}

constexpr const char* range_params[] = {"mz"};
constexpr corvex::python::Signature range_signature{"mz_range()", range_params, 1};

PyObject* mz_range(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return corvex::python::guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> in{};
        if (!corvex::python::match_fastcall(range_signature, args, nargs, kwnames, in)) return nullptr;
        auto mz = BufferView<const double>::get(in[0], "mz");
        if (!mz) return nullptr;
        MzRange range;
        Py_BEGIN_ALLOW_THREADS
        range = engine::mz_range(mz->span());
        Py_END_ALLOW_THREADS
        return Py_BuildValue("(dd)", range.low, range.high);
    });
}

constexpr const char* bin_params[] = {"mz", "intensity", "low_mz", "bin_width", "row"};
constexpr corvex::python::Signature bin_signature{"bin_peaks()", bin_params, 5};

PyObject* bin_peaks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return corvex::python::guarded([&]() -> PyObject* {
        std::array<PyObject*, 5> in{};
        if (!corvex::python::match_fastcall(bin_signature, args, nargs, kwnames, in)) return nullptr;
        auto peaks = peak_arrays(in[0], in[1]);
        if (!peaks) return nullptr;
        const auto low_mz = to_double(in[2]);
        if (!low_mz) return nullptr;
        const auto bin_width = to_double(in[3]);
        if (!bin_width) return nullptr;
        if (!(*bin_width > 0.0)) {
            PyErr_SetString(PyExc_ValueError, "'bin_width' must be above 0");
            return nullptr;
        }
        auto row = BufferView<double>::get(in[4], "row");
        if (!row) return nullptr;
        std::uint64_t outside = 0;
        Py_BEGIN_ALLOW_THREADS
        outside = engine::bin_peaks(peaks->mz.span(), peaks->intensity.span(), *low_mz, *bin_width, row->span());
        Py_END_ALLOW_THREADS
        return PyLong_FromUnsignedLongLong(outside);
    });
}

using corvex::python::as_cfunction;

PyMethodDef peak_profile_functions[] = {
    {"peak_stats", as_cfunction(peak_stats),
     METH_FASTCALL | METH_KEYWORDS,
     "peak_stats(mz, intensity, histogram)\n--\n\n"
     "One spectrum's (peak count, intensity sum, base peak m/z, base peak intensity), the last two NaN "
     "without peaks; adds one count per peak to histogram (uint64, 2 ** (31 - INTENSITY_BIN_SHIFT) bins) in "
     "the bin of its intensity's bits shifted right by INTENSITY_BIN_SHIFT (bin 0 for a negative sign). mz "
     "is float64, intensity float32, both one-dimensional and contiguous."},
    {"mz_range", as_cfunction(mz_range), METH_FASTCALL | METH_KEYWORDS,
     "mz_range(mz)\n--\n\nThe lowest and highest m/z (float64 array), NaN and NaN when none is a number."},
    {"bin_peaks", as_cfunction(bin_peaks),
     METH_FASTCALL | METH_KEYWORDS,
     "bin_peaks(mz, intensity, low_mz, bin_width, row)\n--\n\n"
     "Adds each peak's intensity to row[floor((mz - low_mz) * (1 / bin_width))] (row: float64); returns "
     "how many peaks fell outside the row."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_peak_profile_functions(PyObject* module) {
    if (PyModule_AddFunctions(module, peak_profile_functions) != 0) return false;
    return PyModule_AddIntConstant(module, "INTENSITY_BIN_SHIFT", kIntensityBinShift) == 0;
}

}  // namespace corvex::engine::python
