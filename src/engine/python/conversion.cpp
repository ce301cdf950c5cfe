// The converters' writers: MzmlWriter writes an indexed mzML document and
// MgfWriter an MGF file, each to a file descriptor the caller keeps open,
// from spectra handed in as fields and numpy arrays (any buffer of float64
// m/z and float32 intensities). Rendering, compression, encoding and
// writing run with the interpreter released; one call at a time per writer
// (a second, concurrent one raises RuntimeError).
#include <cerrno>
#include <climits>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "corvex/python/args.hpp"
#include "corvex/python/borrow.hpp"
#include "corvex/python/convert.hpp"
#include "corvex/python/errors.hpp"
#include "corvex/python/types.hpp"
#include "engine/float_repr.hpp"
#include "engine/mgf.hpp"
#include "engine/mzml_document.hpp"
#include "engine/mzml_elements.hpp"
#include "engine/output_file.hpp"
#include "engine/python/array_argument.hpp"
#include "engine/python/features.hpp"
#include "engine/python/writer_arguments.hpp"

namespace corvex::engine::python {

namespace {

using corvex::python::BorrowFlag;
using corvex::python::ExclusiveAccess;
using corvex::python::guarded;
using corvex::python::match_fastcall;
using corvex::python::match_tuple;
using corvex::python::Ref;
using corvex::python::Signature;
using mzml::PrecursorFields;
using mzml::SpectrumFields;

using corvex::python::as_cfunction;

bool to_double(PyObject* value, double& out) {
    out = PyFloat_AsDouble(value);
    return !(out == -1.0 && PyErr_Occurred());
}

bool to_int64(PyObject* value, std::int64_t& out) {
    out = PyLong_AsLongLong(value);
    return !(out == -1 && PyErr_Occurred());
}

// None (or a missing dict entry) for absent.
bool optional_double(PyObject* value, std::optional<double>& out) {
    out.reset();
    if (value == nullptr || value == Py_None) return true;
    double number = 0;
    if (!to_double(value, number)) return false;
    out = number;
    return true;
}

// A corvex precursor dict: precursor_native_id, target_mz, selected_mz,
// intensity, charge, collision_energy, isolation_width, activation; None or
// missing for absent. The id is copied into `native_id`: the dict may change
// on another thread while the interpreter is released.
bool precursor_fields(PyObject* value, std::optional<PrecursorFields>& out, std::string& native_id) {
    out.reset();
    if (value == Py_None) return true;
    if (!PyDict_Check(value)) return type_error("precursor", "a dict or None");
    PrecursorFields fields;
    auto item = [&](const char* key) { return PyDict_GetItemString(value, key); };  // borrowed
    if (PyObject* id = item("precursor_native_id"); id != nullptr && id != Py_None) {
        std::string_view text;
        if (!text_view(id, "precursor['precursor_native_id']", text)) return false;
        native_id.assign(text);
        fields.native_id = native_id;
    }
    if (!optional_double(item("target_mz"), fields.target_mz) ||
        !optional_double(item("selected_mz"), fields.selected_mz) ||
        !optional_double(item("intensity"), fields.intensity) ||
        !optional_double(item("collision_energy"), fields.collision_energy) ||
        !optional_double(item("isolation_width"), fields.isolation_width)) {
        return false;
    }
    if (PyObject* charge = item("charge"); charge != nullptr && charge != Py_None) {
        std::int64_t number = 0;
        if (!to_int64(charge, number)) return false;
        fields.charge = number;
    }
    if (PyObject* activation = item("activation"); activation != nullptr && activation != Py_None) {
        std::string_view code;
        if (!text_view(activation, "precursor['activation']", code)) return false;
        fields.activation = mzml::activation_from_code(code);
    }
    out = fields;
    return true;
}

// "positive", "negative" or None.
bool polarity_field(PyObject* value, mzml::Polarity& out) {
    out = mzml::Polarity::unknown;
    if (value == Py_None) return true;
    std::string_view text;
    if (!text_view(value, "polarity", text)) return false;
    if (text == "positive" || text == "negative") {
        out = text == "positive" ? mzml::Polarity::positive : mzml::Polarity::negative;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "polarity must be 'positive', 'negative' or None, not %R", value);
    return false;
}

bool raise_value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

// ---------------------------------------------------------------------------
// mzML

struct MzmlWriterObject {
    PyObject_HEAD
    BorrowFlag access;
    std::optional<mzml::DocumentWriter> document;
    mzml::Vocabulary vocabulary;
    mzml::DocumentCodes codes;
    BinaryArrayEncoder encoder;
    std::string element;  // reused for every element
};

MzmlWriterObject* as_mzml(PyObject* self) { return reinterpret_cast<MzmlWriterObject*>(self); }

void mzml_writer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_mzml(self)->~MzmlWriterObject();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* mzml_writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"fd", "header", "between", "footer", "params",
                                                 "zlib", "numpress_mz", "numpress_intensity"};
        static const Signature signature{"MzmlWriter()", params, 6};
        PyObject* matched[8];
        if (!match_tuple(signature, args, kwargs, matched)) return nullptr;
        int fd = 0;
        if (!to_fd(matched[0], fd)) return nullptr;
        mzml::DocumentFrame frame;
        mzml::ArrayCodings codings;
        if (!document_frame(matched[1], matched[2], matched[3], frame) ||
            !array_codings(matched[5], matched[6], matched[7], codings)) {
            return nullptr;
        }

        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        MzmlWriterObject* object = as_mzml(self);
        new (&object->access) BorrowFlag();
        new (&object->document) std::optional<mzml::DocumentWriter>();
        new (&object->vocabulary) mzml::Vocabulary();
        new (&object->codes) mzml::DocumentCodes(codings);
        new (&object->encoder) BinaryArrayEncoder();
        new (&object->element) std::string();
        Ref owned = Ref::steal(self);
        if (!vocabulary_from(matched[4], object->vocabulary)) return nullptr;
        object->document.emplace(fd, std::move(frame));
        return owned.release();
    });
}

// Renders an element into the writer's buffer and appends it to the
// document, with the interpreter released. None, or null with ValueError
// (it cannot be rendered) or OSError (it cannot be written) set.
template <class Render, class Append>
PyObject* render_and_append(MzmlWriterObject* object, Render&& render, Append&& append) {
    std::optional<std::string> error;
    int write_error = 0;
    Py_BEGIN_ALLOW_THREADS
    object->element.clear();
    error = render();
    if (!error) write_error = append();
    // Nothing may be in flight once the call returns: the caller may close the file.
    if (const int waited = object->document->wait_for_output(); write_error == 0) write_error = waited;
    Py_END_ALLOW_THREADS
    if (error) return raise_value_error(*error), nullptr;
    if (write_error != 0) return raise_errno(write_error), nullptr;
    Py_RETURN_NONE;
}

PyObject* mzml_write_spectrum(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"native_id", "ms_level", "retention_time_sec", "total_ion_current",
                                                 "base_peak", "polarity", "centroid", "precursor", "mz", "intensity"};
        static const Signature signature{"MzmlWriter.write_spectrum()", params, 10};
        PyObject* matched[10];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return nullptr;
        MzmlWriterObject* object = as_mzml(self);
        auto access = ExclusiveAccess::acquire(object->access);
        if (!access) return nullptr;
        if (object->document->finished() || object->document->chromatogram_count() > 0) {
            return raise_value_error("spectra must be written before the chromatograms and the end"), nullptr;
        }

        SpectrumFields fields;
        std::string precursor_id;
        std::int64_t level = 0;
        int centroid = 0;
        if (!text_view(matched[0], "native_id", fields.native_id) || !to_int64(matched[1], level) ||
            !to_double(matched[2], fields.retention_time_sec) || !to_double(matched[3], fields.total_ion_current)) {
            return nullptr;
        }
        fields.ms_level = static_cast<int>(level);
        if (matched[4] != Py_None) {
            if (!PyTuple_Check(matched[4]) || PyTuple_GET_SIZE(matched[4]) != 2) {
                return type_error("base_peak", "an (m/z, intensity) tuple or None"), nullptr;
            }
            mzml::BasePeak peak{};
            if (!to_double(PyTuple_GET_ITEM(matched[4], 0), peak.mz) ||
                !to_double(PyTuple_GET_ITEM(matched[4], 1), peak.intensity)) {
                return nullptr;
            }
            fields.base_peak = peak;
        }
        if (!polarity_field(matched[5], fields.polarity) || (centroid = PyObject_IsTrue(matched[6])) < 0 ||
            !precursor_fields(matched[7], fields.precursor, precursor_id)) {
            return nullptr;
        }
        fields.centroid = centroid != 0;
        ArrayArgument<double> mz;
        ArrayArgument<float> intensity;
        if (!mz.get(matched[8], "mz") || !intensity.get(matched[9], "intensity")) return nullptr;
        fields.index = object->document->spectrum_count();

        return render_and_append(object, [&] {
            return mzml::render_spectrum(object->element, fields, mz.values(), intensity.values(), object->vocabulary,
                                         object->codes.codings_for(fields.index, mz.values(), intensity.values()),
                                         object->encoder);
        }, [&] { return object->document->append_spectrum(fields.native_id, object->element); });
    });
}

PyObject* mzml_write_chromatogram(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"native_id", "type_param", "time_sec", "intensity"};
        static const Signature signature{"MzmlWriter.write_chromatogram()", params, 4};
        PyObject* matched[4];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return nullptr;
        MzmlWriterObject* object = as_mzml(self);
        auto access = ExclusiveAccess::acquire(object->access);
        if (!access) return nullptr;
        if (object->document->finished()) return raise_value_error("the document is finished"), nullptr;
        mzml::ChromatogramFields fields;
        if (!text_view(matched[0], "native_id", fields.native_id) ||
            !text_view(matched[1], "type_param", fields.type_param)) {
            return nullptr;
        }
        ArrayArgument<float> time_sec;
        ArrayArgument<float> intensity;
        if (!time_sec.get(matched[2], "time_sec") || !intensity.get(matched[3], "intensity")) return nullptr;
        fields.index = object->document->chromatogram_count();

        return render_and_append(object, [&] {
            return mzml::render_chromatogram(object->element, fields, time_sec.values(), intensity.values(),
                                             object->vocabulary, object->codes.codings_at(0).mz.zlib, object->encoder);
        }, [&] { return object->document->append_chromatogram(fields.native_id, object->element); });
    });
}

PyObject* mzml_finish(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        MzmlWriterObject* object = as_mzml(self);
        auto access = ExclusiveAccess::acquire(object->access);
        if (!access) return nullptr;
        if (object->document->finished()) return raise_value_error("the document is finished"), nullptr;
        int error = 0;
        Py_BEGIN_ALLOW_THREADS
        error = object->document->finish();
        Py_END_ALLOW_THREADS
        if (error != 0) return raise_errno(error), nullptr;
        return corvex::python::py_int(object->document->bytes_written());
    });
}

PyObject* mzml_spectrum_count(PyObject* self, void*) {
    return corvex::python::py_int(std::uint64_t{as_mzml(self)->document->spectrum_count()});
}

PyObject* mzml_chromatogram_count(PyObject* self, void*) {
    return corvex::python::py_int(std::uint64_t{as_mzml(self)->document->chromatogram_count()});
}

PyMethodDef mzml_writer_methods[] = {
    {"write_spectrum", as_cfunction(mzml_write_spectrum), METH_FASTCALL | METH_KEYWORDS,
     "write_spectrum($self, native_id, ms_level, retention_time_sec, total_ion_current, base_peak, polarity, "
     "centroid, precursor, mz, intensity)\n--\n\n"
     "Render the next spectrum (numbered in order from 0) and write it. base_peak is (m/z, intensity) or None, "
     "polarity 'positive', 'negative' or None, precursor a corvex precursor dict or None; mz and intensity are "
     "float64 and float32 arrays of equal length. ValueError when the arrays cannot be coded, OSError when "
     "writing fails."},
    {"write_chromatogram", as_cfunction(mzml_write_chromatogram), METH_FASTCALL | METH_KEYWORDS,
     "write_chromatogram($self, native_id, type_param, time_sec, intensity)\n--\n\n"
     "Render the next chromatogram (after every spectrum) from float32 arrays and write it; type_param is the "
     "cvParam element naming its kind."},
    {"finish", as_cfunction(mzml_finish), METH_NOARGS,
     "finish($self)\n--\n\nWrite the rest of the document (the index, its offset and the checksum) and return "
     "the document's size in bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef mzml_writer_properties[] = {
    {"spectrum_count", mzml_spectrum_count, nullptr, "Spectra written so far.", nullptr},
    {"chromatogram_count", mzml_chromatogram_count, nullptr, "Chromatograms written so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot mzml_writer_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "MzmlWriter(fd, header, between, footer, params, zlib, numpress_mz=None, "
                    "numpress_intensity=None)\n--\n\n"
                    "An indexed mzML document written to the open file descriptor fd, from its start. header, "
                    "between and footer are the document's frame (bytes): everything before the first spectrum, "
                    "from the end of the spectrum list to the first chromatogram, and from the end of the "
                    "chromatogram list through </mzML>. params holds a (before, after) pair of cvParam text for "
                    "each key of mzml_param_keys(). numpress_mz may be 'linear', numpress_intensity 'pic' or "
                    "'slof'; zlib compresses every array (after MS-Numpress, when given).")},
    {Py_tp_new, reinterpret_cast<void*>(mzml_writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mzml_writer_dealloc)},
    {Py_tp_methods, mzml_writer_methods},
    {Py_tp_getset, mzml_writer_properties},
    {0, nullptr},
};

PyType_Spec mzml_writer_spec = {
    "corvex_tools._native.MzmlWriter",
    sizeof(MzmlWriterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    mzml_writer_slots,
};

// ---------------------------------------------------------------------------
// MGF

struct MgfWriterObject {
    PyObject_HEAD
    BorrowFlag access;
    OutputFile file;
    std::string block;
    std::uint64_t written;
    std::uint64_t skipped;
};

MgfWriterObject* as_mgf(PyObject* self) { return reinterpret_cast<MgfWriterObject*>(self); }

void mgf_writer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_mgf(self)->~MgfWriterObject();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* mgf_writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"fd"};
        static const Signature signature{"MgfWriter()", params, 1};
        PyObject* matched[1];
        if (!match_tuple(signature, args, kwargs, matched)) return nullptr;
        int fd = 0;
        if (!to_fd(matched[0], fd)) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        MgfWriterObject* object = as_mgf(self);
        new (&object->access) BorrowFlag();
        new (&object->file) OutputFile(fd);
        new (&object->block) std::string();
        object->written = object->skipped = 0;
        return self;
    });
}

PyObject* mgf_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"native_id", "ms_level", "scan_number", "retention_time_sec",
                                                 "precursor", "mz", "intensity"};
        static const Signature signature{"MgfWriter.write()", params, 7};
        PyObject* matched[7];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return nullptr;
        MgfWriterObject* object = as_mgf(self);
        auto access = ExclusiveAccess::acquire(object->access);
        if (!access) return nullptr;
        SpectrumFields fields;
        std::string precursor_id;
        std::int64_t level = 0;
        auto scan_number = corvex::python::to_index(matched[2], "scan_number");
        if (!text_view(matched[0], "native_id", fields.native_id) || !to_int64(matched[1], level) || !scan_number ||
            !to_double(matched[3], fields.retention_time_sec) ||
            !precursor_fields(matched[4], fields.precursor, precursor_id)) {
            return nullptr;
        }
        fields.ms_level = static_cast<int>(level);
        fields.scan_number = *scan_number;
        ArrayArgument<double> mz;
        ArrayArgument<float> intensity;
        if (!mz.get(matched[5], "mz") || !intensity.get(matched[6], "intensity")) return nullptr;

        mgf::Block block = mgf::Block::written;
        int error = 0;
        Py_BEGIN_ALLOW_THREADS
        object->block.clear();
        block = mgf::render_block(object->block, fields, mz.values(), intensity.values());
        if (block == mgf::Block::written) error = object->file.write(object->block);
        // Nothing may be in flight once the call returns: the caller may close the file.
        if (const int waited = object->file.wait(); error == 0) error = waited;
        Py_END_ALLOW_THREADS
        if (error != 0) return raise_errno(error), nullptr;
        object->written += block == mgf::Block::written;
        object->skipped += block == mgf::Block::no_precursor_mz;
        return corvex::python::py_bool(block == mgf::Block::written);
    });
}

PyObject* mgf_finish(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        MgfWriterObject* object = as_mgf(self);
        auto access = ExclusiveAccess::acquire(object->access);
        if (!access) return nullptr;
        int error = 0;
        Py_BEGIN_ALLOW_THREADS
        error = object->file.flush();
        Py_END_ALLOW_THREADS
        if (error != 0) return raise_errno(error), nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* mgf_written(PyObject* self, void*) { return corvex::python::py_int(std::uint64_t{as_mgf(self)->written}); }
PyObject* mgf_skipped(PyObject* self, void*) { return corvex::python::py_int(std::uint64_t{as_mgf(self)->skipped}); }

PyMethodDef mgf_writer_methods[] = {
    {"write", as_cfunction(mgf_write), METH_FASTCALL | METH_KEYWORDS,
     "write($self, native_id, ms_level, scan_number, retention_time_sec, precursor, mz, intensity)\n--\n\n"
     "Write the spectrum's block if it is a fragment spectrum with a precursor m/z; True when written."},
    {"finish", as_cfunction(mgf_finish), METH_NOARGS, "finish($self)\n--\n\nWrite out what is still buffered."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef mgf_writer_properties[] = {
    {"written", mgf_written, nullptr, "Blocks written.", nullptr},
    {"skipped", mgf_skipped, nullptr, "Fragment spectra left out for want of a precursor m/z.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot mgf_writer_slots[] = {
    {Py_tp_doc, const_cast<char*>("MgfWriter(fd)\n--\n\n"
                                  "MGF blocks written to the open file descriptor fd; call finish() at the end.")},
    {Py_tp_new, reinterpret_cast<void*>(mgf_writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mgf_writer_dealloc)},
    {Py_tp_methods, mgf_writer_methods},
    {Py_tp_getset, mgf_writer_properties},
    {0, nullptr},
};

PyType_Spec mgf_writer_spec = {
    "corvex_tools._native.MgfWriter",
    sizeof(MgfWriterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    mgf_writer_slots,
};

// ---------------------------------------------------------------------------
// Functions

PyObject* mzml_param_keys(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        const auto keys = mzml::param_keys();
        return corvex::python::py_list(keys.size(), [&](std::size_t i) -> PyObject* {
            const mzml::ParamKey& key = keys[i];
            Ref name = Ref::steal(corvex::python::py_text(key.name));
            Ref unit = Ref::steal(key.unit.empty() ? corvex::python::py_none() : corvex::python::py_text(key.unit));
            if (!name || !unit) return nullptr;
            return PyTuple_Pack(2, name.get(), unit.get());
        });
    });
}

PyObject* float_repr(PyObject*, PyObject* value) {
    return guarded([&]() -> PyObject* {
        double number = 0;
        if (!to_double(value, number)) return nullptr;
        char text[float_repr_capacity];
        const char* end = write_float_repr(text, number);
        return PyUnicode_FromStringAndSize(text, end - text);
    });
}

PyMethodDef conversion_functions[] = {
    {"mzml_param_keys", mzml_param_keys, METH_NOARGS,
     "mzml_param_keys()\n--\n\nThe (name, unit name or None) of every cvParam MzmlWriter needs, in the order its "
     "params argument takes their texts."},
    {"float_repr", float_repr, METH_O,
     "float_repr(value)\n--\n\nThe engine's text for a float: the same as repr(float(value))."},
    {nullptr, nullptr, 0, nullptr},
};

bool add_type(PyObject* module, const char* name, PyType_Spec& type_spec) {
    Ref type = Ref::steal(PyType_FromSpec(&type_spec));
    return type && PyModule_AddObjectRef(module, name, type.get()) == 0;
}

}  // namespace

bool add_conversion(PyObject* module) {
    return PyModule_AddFunctions(module, conversion_functions) == 0 &&
           add_type(module, "MzmlWriter", mzml_writer_spec) && add_type(module, "MgfWriter", mgf_writer_spec);
}

}  // namespace corvex::engine::python
