#include "engine/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <cstdlib>
#include <new>

namespace corvex::engine {

namespace {

std::size_t page_size() noexcept {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t round_up_to_page(std::size_t bytes) noexcept {
    const std::size_t page = page_size();
    return (bytes + page - 1) / page * page;
}

}  // namespace

Memory& Memory::operator=(Memory&& other) noexcept {
    if (this != &other) {
        free();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

Memory Memory::allocate(std::size_t bytes) {
    Memory memory;
    if (bytes == 0) return memory;
    memory.data_ = static_cast<std::byte*>(std::malloc(bytes));
    if (!memory.data_) throw std::bad_alloc();
    memory.size_ = bytes;
    return memory;
}

Memory Memory::reserve(std::size_t bytes) {
    Memory memory;
    if (bytes == 0) return memory;
    const std::size_t length = round_up_to_page(bytes);
    if (length < bytes) throw std::bad_alloc();
    void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                           -1, 0);
    if (address == MAP_FAILED) throw std::bad_alloc();
    // No MADV_HUGEPAGE: 2 MiB pages measured no faster and far less steady
    // than plain pages for results written once, front to back.
    memory.data_ = static_cast<std::byte*>(address);
    memory.size_ = bytes;
    memory.mapped_ = length;
    return memory;
}

void Memory::commit(std::size_t offset, std::size_t bytes) const noexcept {
#ifdef MADV_POPULATE_WRITE
    if (mapped_ == 0 || bytes == 0 || offset >= size_) return;
    const std::size_t page = page_size();
    const std::size_t first = offset / page * page;
    const std::size_t last = std::min(round_up_to_page(offset + bytes), mapped_);
    // Fails on kernels before 5.14; the pages are then faulted in as written.
    (void)::madvise(data_ + first, last - first, MADV_POPULATE_WRITE);
#else
    (void)offset;
    (void)bytes;
#endif
}

void Memory::shrink(std::size_t bytes) noexcept {
    if (bytes >= size_) return;
    if (bytes == 0) {
        free();
        return;
    }
    if (mapped_ != 0) {
        const std::size_t keep = round_up_to_page(bytes);
        if (keep < mapped_) {
            ::munmap(data_ + keep, mapped_ - keep);
            mapped_ = keep;
        }
    } else if (void* resized = std::realloc(data_, bytes)) {
        data_ = static_cast<std::byte*>(resized);
    }
    size_ = bytes;
}

MemoryRecycler::MemoryRecycler(std::size_t kept_bytes) : limit_(kept_bytes), owner_(::getpid()) {}

Memory MemoryRecycler::take(std::size_t bytes) {
    {
        std::lock_guard lock(mutex_);
        // The smallest kept block that is large enough.
        auto best = kept_.end();
        for (auto it = kept_.begin(); it != kept_.end(); ++it) {
            if (it->size() >= bytes && (best == kept_.end() || it->size() < best->size())) best = it;
        }
        if (best != kept_.end()) {
            Memory memory = std::move(*best);
            kept_.erase(best);
            kept_bytes_ -= memory.size();
            return memory;
        }
    }
    // Sizes rounded up, so that a block can serve the next spectra of about
    // the same size.
    constexpr std::size_t granule = std::size_t{64} << 10;
    return Memory::allocate((bytes + granule - 1) / granule * granule);
}

std::shared_ptr<const Memory> MemoryRecycler::share(Memory memory) {
    std::weak_ptr<MemoryRecycler> home = weak_from_this();
    return std::shared_ptr<const Memory>(new Memory(std::move(memory)), [home](const Memory* shared) {
        std::unique_ptr<Memory> owned(const_cast<Memory*>(shared));
        if (auto recycler = home.lock()) recycler->give_back(std::move(*owned));
    });
}

void MemoryRecycler::give_back(Memory memory) noexcept {
    // In a child forked while a thread of the parent held the mutex, the
    // child's copy of it stays locked: there blocks are simply freed.
    if (memory.size() == 0 || ::getpid() != owner_) return;
    std::lock_guard lock(mutex_);
    if (kept_bytes_ + memory.size() > limit_) return;  // full: `memory` is freed as it goes
    try {
        kept_.push_back(std::move(memory));
    } catch (...) {
        return;  // no room to keep it: it is freed
    }
    kept_bytes_ += kept_.back().size();
}

void Memory::free() noexcept {
    if (mapped_ != 0) {
        ::munmap(data_, mapped_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    size_ = 0;
    mapped_ = 0;
}

}  // namespace corvex::engine
