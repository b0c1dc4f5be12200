#include "logging_bridge/log.hpp"

#include <atomic>

namespace modweave::logging_bridge {
namespace {

// Written once when the sink is installed; every log call reads it first.
std::atomic<LevelFilter> global_max_level{LevelFilter::Off};
// Set once, never cleared: the sink lives until the process ends.
std::atomic<Sink*> installed_sink{nullptr};

}  // namespace

LevelFilter max_level() noexcept {
    return global_max_level.load(std::memory_order_relaxed);
}

void set_max_level(LevelFilter filter) noexcept {
    global_max_level.store(filter, std::memory_order_relaxed);
}

bool set_sink(std::unique_ptr<Sink> sink) noexcept {
    Sink* expected = nullptr;
    if (!installed_sink.compare_exchange_strong(expected, sink.get(), std::memory_order_acq_rel)) {
        return false;
    }
    (void)sink.release();
    return true;
}

bool target_may_log(Level level, std::string_view target) noexcept {
    if (!level_enabled(level)) return false;
    const Sink* sink = installed_sink.load(std::memory_order_acquire);
    return sink == nullptr || sink->may_accept(level, target);
}

void dispatch(const Record& record) noexcept {
    if (Sink* sink = installed_sink.load(std::memory_order_acquire)) sink->log(record);
}

}  // namespace modweave::logging_bridge
