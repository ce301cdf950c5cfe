// Running engine work with the interpreter released.
//
// The work runs inside a noexcept wrapper that turns any exception into a
// value; releasing and retaking the interpreter happen outside every try
// block and noexcept function. At shutdown CPython ends a daemon thread that
// retakes the interpreter with pthread_exit, and the forced unwinding that
// follows must not meet a catch-all or a noexcept boundary (either would
// turn it into std::terminate).
#pragma once

#include "corvex/python/ref.hpp"

#include <exception>
#include <optional>
#include <utility>

namespace corvex::engine::python {

template <class T>
struct Outcome {
    std::optional<T> value;
    std::exception_ptr fault;

    // The value, or the exception thrown again: call it inside guarded().
    T take() {
        if (fault) std::rethrow_exception(fault);
        return std::move(*value);
    }
};

template <class Body>
auto capture(Body& body) noexcept -> Outcome<decltype(body())> {
    Outcome<decltype(body())> outcome;
    try {
        outcome.value.emplace(body());
    } catch (...) {
        outcome.fault = std::current_exception();
    }
    return outcome;
}

// `body()` with the interpreter released; it must not touch Python objects.
template <class Body>
auto detached(Body&& body) {
    PyThreadState* state = PyEval_SaveThread();
    auto outcome = capture(body);
    PyEval_RestoreThread(state);
    return outcome;
}

}  // namespace corvex::engine::python
