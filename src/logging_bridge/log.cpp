#include "logging_bridge/log.hpp"

#include <atomic>

namespace modweave::logging_bridge {
namespace {

// Set once, never cleared: the sink lives until the process ends.
std::atomic<Sink*> installed_sink{nullptr};

}  // namespace

void set_max_level(LevelFilter filter) noexcept {
    detail::global_max_level.store(filter, std::memory_order_relaxed);
    renew_decisions();
}

void renew_decisions() noexcept {
    detail::decisions_generation.fetch_add(1, std::memory_order_acq_rel);
}

bool refused_until_renewed(Level level, std::string_view target) noexcept {
    const Sink* sink = installed_sink.load(std::memory_order_acquire);
    return sink != nullptr && sink->refuses_until_renewed(level, target);
}

bool set_sink(std::unique_ptr<Sink> sink) noexcept {
    Sink* expected = nullptr;
    if (!installed_sink.compare_exchange_strong(expected, sink.get(), std::memory_order_acq_rel)) {
        return false;
    }
    (void)sink.release();
    renew_decisions();
    return true;
}

void dispatch(const Record& record) noexcept {
    if (Sink* sink = installed_sink.load(std::memory_order_acquire)) sink->log(record);
}

}  // namespace modweave::logging_bridge
