// Memory for arrays that leave the engine without a copy (to numpy, later to
// Arrow): one block of bytes with one owner, from the heap or from a private
// anonymous mapping.
#pragma once

#include <cstddef>
#include <utility>

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

}  // namespace corvex::engine
