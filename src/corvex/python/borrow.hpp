// Scoped shared and exclusive access to a binding object. A conflicting
// access raises RuntimeError at once instead of waiting, so a thread never
// blocks the interpreter on another thread's call.
#pragma once

#include <optional>
#include <utility>

#include "corvex/python/borrow_flag.hpp"
#include "corvex/python/ref.hpp"

namespace corvex::python {

// Held for the duration of one operation; the flag is released on scope exit.
class SharedAccess {
public:
    // Sets RuntimeError "Already mutably borrowed" and gives nothing on conflict.
    static std::optional<SharedAccess> acquire(BorrowFlag& flag) {
        if (!flag.try_shared()) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return std::nullopt;
        }
        return SharedAccess(flag);
    }
    SharedAccess(SharedAccess&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    SharedAccess& operator=(SharedAccess&&) = delete;
    ~SharedAccess() {
        if (flag_) flag_->release_shared();
    }

private:
    explicit SharedAccess(BorrowFlag& flag) : flag_(&flag) {}
    BorrowFlag* flag_;
};

class ExclusiveAccess {
public:
    // Sets RuntimeError "Already borrowed" and gives nothing on conflict.
    static std::optional<ExclusiveAccess> acquire(BorrowFlag& flag) {
        if (!flag.try_exclusive()) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return std::nullopt;
        }
        return ExclusiveAccess(flag);
    }
    ExclusiveAccess(ExclusiveAccess&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(ExclusiveAccess&&) = delete;
    ~ExclusiveAccess() {
        if (flag_) flag_->release_exclusive();
    }

private:
    explicit ExclusiveAccess(BorrowFlag& flag) : flag_(&flag) {}
    BorrowFlag* flag_;
};

}  // namespace corvex::python
