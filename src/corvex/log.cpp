#include "corvex/log.hpp"

#include <atomic>
#include <mutex>

namespace corvex::log {

namespace {
std::atomic<Level> current_max_level{Level::Off};

struct SinkSlot {
    std::mutex mutex;
    Sink sink;
};
SinkSlot& sink_slot() {
    static SinkSlot slot;
    return slot;
}
}  // namespace

void set_sink(Sink sink) {
    SinkSlot& slot = sink_slot();
    std::lock_guard lock(slot.mutex);
    slot.sink = std::move(sink);
}

void set_max_level(Level level) { current_max_level.store(level, std::memory_order_relaxed); }

Level max_level() noexcept { return current_max_level.load(std::memory_order_relaxed); }

void write(Level level, std::string_view target, std::string_view message) {
    SinkSlot& slot = sink_slot();
    std::lock_guard lock(slot.mutex);
    if (slot.sink) slot.sink(level, target, message);
}

}  // namespace corvex::log
