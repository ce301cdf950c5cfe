// Memory for arrays that leave the engine without a copy (to numpy, later to
// Arrow): one block of bytes with one owner, from the heap or from a private
// anonymous mapping.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace corvex::engine {

class Memory {
public:
    Memory() noexcept = default;
    Memory(Memory&& other) noexcept { *this = std::move(other); }
    Memory& operator=(Memory&& other) noexcept;
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
    ~Memory() { free(); }

    // `bytes` of heap memory, left unset. Throws std::bad_alloc.
    static Memory allocate(std::size_t bytes);

    // `bytes` of address space whose pages are only committed when first
    // written, for a result whose size is known only as a bound: reserve the
    // bound, write from the start, shrink to what was written. The kernel
    // does not set swap or memory aside for the whole range, so the bound may
    // be many times the memory the result ends up using. Throws
    // std::bad_alloc when the address space cannot be had.
    static Memory reserve(std::size_t bytes);

    // Commits the pages of [offset, offset + bytes) of a reservation in one
    // go, where the system can: one call instead of a page fault per page
    // about to be written. Does nothing for heap memory.
    void commit(std::size_t offset, std::size_t bytes) const noexcept;

    // Gives back everything past the first `bytes`: the whole pages of a
    // reservation go back to the system at once; heap memory is resized,
    // which never moves a shrinking block in practice but is allowed to.
    void shrink(std::size_t bytes) noexcept;

    std::byte* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool reserved() const noexcept { return mapped_ != 0; }

    template <class T>
    T* as() const noexcept {
        return reinterpret_cast<T*>(data_);
    }

private:
    void free() noexcept;

    std::byte* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;  // bytes mapped, for a reservation; 0 for heap memory
};

// Blocks of heap memory that go round between the threads that fill them
// and whoever keeps them afterwards. A block whose last owner is gone comes
// back here for later use instead of going back to the system, which would
// hand out new pages, one page fault each, for every block. Keeps at most
// `kept_bytes` waiting; shared by any number of threads. Create it with
// std::make_shared: blocks find their way back through a weak reference.
class MemoryRecycler : public std::enable_shared_from_this<MemoryRecycler> {
public:
    explicit MemoryRecycler(std::size_t kept_bytes);

    // A block of at least `bytes`, left unset: the smallest kept one that is
    // large enough, or new memory.
    Memory take(std::size_t bytes);

    // `memory`, shared by whoever keeps it; when the last owner goes it
    // comes back here, or is freed when the recycler is gone or full.
    std::shared_ptr<const Memory> share(Memory memory);

    // `memory`, which its owner no longer needs, kept for a later take()
    // (or freed when the recycler is full).
    void give_back(Memory memory) noexcept;

private:

    const std::size_t limit_;
    const pid_t owner_;  // the process the recycler was made in
    std::mutex mutex_;
    std::vector<Memory> kept_;
    std::size_t kept_bytes_ = 0;
};

}  // namespace corvex::engine
