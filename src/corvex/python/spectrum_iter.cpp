// SpectrumIter: spectra decoded on a background thread, one slot ahead.
//
// Each iter_spectra call starts one detached decoding thread that opens its
// own Reader and pushes records through a one-message channel. The thread
// owns only plain C++ values (the path, the reader, the sending end), never
// a Python object, so it may outlive the iterator and the interpreter: once
// the receiving end is gone its next send fails and it ends.
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include <unistd.h>

#include "corvex/python/args.hpp"
#include "corvex/python/borrow.hpp"
#include "corvex/python/channel.hpp"
#include "corvex/python/classes.hpp"
#include "corvex/python/errors.hpp"
#include "corvex/reader.hpp"

namespace corvex::python {

namespace {

// What the decoding thread sends: a record, the normal end, or the display
// text of the error that ended the stream. Nothing follows Done or Failure.
struct StreamDone {};
struct StreamFailure {
    std::string text;
};
using StreamMsg = std::variant<lumora::SpectrumRecord, StreamDone, StreamFailure>;

constexpr const char* poisoned_text = "iterator mutex poisoned";
constexpr const char* closed_text = "receiving on a closed channel";

// Opens the sample and sends its spectra until the stream ends, fails, or
// the receiving end goes. The reader and the sequence are released when this
// returns, before the caller drops the sending end.
void send_spectra(const std::string& path, const std::optional<std::string>& sample, Sender<StreamMsg>& sender) {
    auto reader = sample ? Reader::open_sample(path, *sample) : Reader::open(path);
    if (!reader) {
        (void)sender.send(StreamFailure{std::move(reader).error().display()});
        return;
    }
    lumora::SpectrumSequence spectra = reader->iter_spectra();
    while (auto item = spectra.next()) {
        if (!*item) {
            // Items after the first error are never requested.
            (void)sender.send(StreamFailure{std::move(*item).error().display()});
            return;
        }
        // A message handed back means the iterator is gone; the record is
        // dropped with it.
        if (sender.send(std::move(*item).value())) return;
    }
    (void)sender.send(StreamDone{});
}

void decode_thread(std::string path, std::optional<std::string> sample, Sender<StreamMsg> sender) noexcept {
    try {
        send_spectra(path, sample, sender);
    } catch (...) {
        // A fault (such as running out of memory) ends the thread without a
        // final message; the sending end goes below, and the iterator reports
        // the closed channel instead of waiting for ever.
    }
}

struct SpectrumIterObject {
    PyObject_HEAD
    BorrowFlag access;
    PoisonableLock<Receiver<StreamMsg>> receiver;
    // The process whose decoding thread feeds `receiver`. A child forked
    // while the iterator was alive has a copy of the channel but no thread.
    pid_t owner;
    // `done` and `pending` are only touched under exclusive access.
    bool done;
    // A record received whose Spectrum could not be made (out of memory);
    // handed out by the next call so that the stream has no gap.
    std::optional<lumora::SpectrumRecord> pending;
};

SpectrumIterObject* as_iter(PyObject* self) { return reinterpret_cast<SpectrumIterObject*>(self); }

// Never waits: dropping the receiving end only flags the channel (and frees
// a message left in the slot); the decoding thread is detached. The fields
// are destroyed one by one, as iter_spectra constructed them.
void spectrum_iter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    SpectrumIterObject& object = *as_iter(self);
    object.pending.~optional();
    // In a forked child the channel's mutex may have been copied while the
    // parent's decoding thread held it, so the child abandons its copy of the
    // receiving end instead of closing it.
    if (object.owner == ::getpid()) object.receiver.~PoisonableLock();
    object.access.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* spectrum_iter_iter(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto access = SharedAccess::acquire(as_iter(self)->access);
        if (!access) return nullptr;
        return Ref::borrow(self).release();
    });
}

// The result of one wait for the decoding thread.
struct Received {
    std::optional<StreamMsg> message;  // set when a message arrived
    const char* error = nullptr;       // poisoned_text or closed_text
    std::string fault;                 // an exception escaped the wait
    bool faulted = false;
};

// Runs detached from the interpreter, so nothing here may raise into it.
Received receive(SpectrumIterObject& object) noexcept {
    Received out;
    try {
        auto got = object.receiver.with([](Receiver<StreamMsg>& receiver) { return receiver.receive(); });
        if (!got) {
            out.error = poisoned_text;
        } else if (!*got) {
            out.error = closed_text;
        } else {
            out.message = std::move(*got);
        }
    } catch (const std::exception& fault) {
        out.faulted = true;
        try {
            out.fault = fault.what();
        } catch (...) {
        }
    } catch (...) {
        out.faulted = true;
    }
    return out;
}

PyObject* hand_out(SpectrumIterObject& object, lumora::SpectrumRecord&& record) {
    PyObject* spectrum = new_spectrum(std::move(record));
    // new_spectrum leaves the record untouched when it fails.
    if (!spectrum) object.pending.emplace(std::move(record));
    return spectrum;
}

// Acts on what one wait brought, attached to the interpreter.
PyObject* finish_next(SpectrumIterObject& object, Received& received) {
    if (received.faulted) {
        // The receiver lock is poisoned now: the next call reports that and
        // finishes the iterator.
        raise_fatal(received.fault.empty() ? "unknown C++ exception" : received.fault.c_str());
        return nullptr;
    }
    if (received.error) {
        object.done = true;
        PyErr_SetString(PyExc_RuntimeError, received.error);
        return nullptr;
    }
    return std::visit(
        [&](auto& message) -> PyObject* {
            using M = std::decay_t<decltype(message)>;
            if constexpr (std::is_same_v<M, lumora::SpectrumRecord>) {
                return hand_out(object, std::move(message));
            } else if constexpr (std::is_same_v<M, StreamDone>) {
                object.done = true;
                return nullptr;  // null without an exception ends the iteration
            } else {
                object.done = true;
                PyErr_SetString(PyExc_RuntimeError, message.text.c_str());
                return nullptr;
            }
        },
        *received.message);
}

// The wait and the re-attach happen here, outside any try block and any
// noexcept function: a daemon thread that re-attaches while the interpreter
// is finalizing is ended by CPython with pthread_exit, and the forced unwind
// that follows must pass through this frame untouched (a catch-all or a
// noexcept boundary would turn it into std::terminate).
PyObject* spectrum_iter_next(PyObject* self) {
    SpectrumIterObject& object = *as_iter(self);
    auto access = ExclusiveAccess::acquire(object.access);
    if (!access) return nullptr;
    if (object.pending) {
        return guarded([&]() -> PyObject* {
            lumora::SpectrumRecord record = std::move(*object.pending);
            object.pending.reset();
            return hand_out(object, std::move(record));
        });
    }
    // A finished iterator ends the iteration at once, without an exception.
    if (object.done) return nullptr;
    if (object.owner != ::getpid()) {
        // Forked: the decoding thread stayed in the parent, so nothing will
        // ever be sent to this copy of the channel.
        object.done = true;
        PyErr_SetString(PyExc_RuntimeError, closed_text);
        return nullptr;
    }

    PyThreadState* detached = PyEval_SaveThread();
    Received received = receive(object);
    PyEval_RestoreThread(detached);

    return guarded([&]() -> PyObject* { return finish_next(object, received); });
}

PyType_Slot spectrum_iter_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(spectrum_iter_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(spectrum_iter_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(spectrum_iter_next)},
    {0, nullptr},
};

PyType_Spec spectrum_iter_spec = {
    // The dotted name sets __module__; __name__ and __qualname__ stay bare.
    "corvex.SpectrumIter",
    sizeof(SpectrumIterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    spectrum_iter_slots,
};

PyObject* iter_spectra(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* params[] = {"path", "sample"};
        static const Signature signature{"iter_spectra()", params, 1};
        PyObject* matched[2];
        if (!match_fastcall(signature, args, nargs, kwnames, matched)) return nullptr;
        auto path = to_text(matched[0], "path");
        if (!path) return nullptr;
        auto sample = to_optional_text(matched[1], "sample");
        if (!sample) return nullptr;

        // The object is made first so that nothing can fail after the thread
        // has started; a thread whose iterator never came to be would only
        // decode one record and find the channel closed.
        auto [sender, receiver] = make_channel<StreamMsg>();
        Ref type = Ref::steal(spectrum_iter_type());
        if (!type) return nullptr;
        auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
        Ref self = Ref::steal(type_object->tp_alloc(type_object, 0));
        if (!self) return nullptr;
        // Nothing below can fail before every field is constructed, which
        // dealloc relies on.
        SpectrumIterObject& object = *as_iter(self.get());
        new (&object.access) BorrowFlag();
        new (&object.receiver) PoisonableLock<Receiver<StreamMsg>>(std::move(receiver));
        object.owner = ::getpid();
        object.done = false;
        new (&object.pending) std::optional<lumora::SpectrumRecord>();

        try {
            std::thread(decode_thread, std::move(*path), std::move(*sample), std::move(sender)).detach();
        } catch (const std::system_error& fault) {
            // The sending end went with the failed start; dropping `self`
            // drops the receiving end.
            raise_fatal((std::string("failed to spawn thread: ") + fault.what()).c_str());
            return nullptr;
        }
        return self.release();
    });
}

}  // namespace

PyObject* spectrum_iter_type() {
    static PyObject* type = nullptr;
    return cached_type(type, spectrum_iter_spec);
}

PyMethodDef iter_spectra_def = {
    "iter_spectra",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(iter_spectra)),
    METH_FASTCALL | METH_KEYWORDS,
    "iter_spectra(path, sample=None)\n--\n\nDecode spectra one at a time without buffering the whole acquisition.",
};

}  // namespace corvex::python
