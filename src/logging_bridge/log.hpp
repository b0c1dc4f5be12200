// The logging interface every component reports through.
//
// A log call names a level, a target (the emitting component, segments joined by "::") and a
// message made of pieces that are only formatted once a sink wants the record. With no sink
// installed, or a level above the global maximum, a call costs one atomic load; so does a call
// whose records the sink has turned away for good (see `CallSite`).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "logging_bridge/message.hpp"

namespace modweave::logging_bridge {

enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// Off passes nothing; any other filter passes its own level and every more severe one.
enum class LevelFilter : std::uint8_t {
    Off = 0,
    Error = 1,
    Warn = 2,
    Info = 3,
    Debug = 4,
    Trace = 5
};

constexpr bool passes(Level level, LevelFilter filter) noexcept {
    return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(filter);
}

constexpr LevelFilter as_filter(Level level) noexcept {
    return static_cast<LevelFilter>(static_cast<std::uint8_t>(level));
}

// The number Python's logging module uses for the level.
constexpr int python_level_number(Level level) noexcept {
    switch (level) {
        case Level::Error:
            return 40;
        case Level::Warn:
            return 30;
        case Level::Info:
            return 20;
        case Level::Debug:
            return 10;
        case Level::Trace:
            return 5;
    }
    return 0;
}

namespace targets {
inline constexpr std::string_view core_builder = "modweave::core::builder";
inline constexpr std::string_view core_types = "modweave::core::types";
inline constexpr std::string_view importlib_util = "modweave::importlib::util";
}  // namespace targets

// A message that is formatted only on request; it refers to the caller's pieces, so it lives no
// longer than the log call that made it.
class LazyMessage {
public:
    template <class Format>
    explicit LazyMessage(const Format& format) noexcept
        : context_(&format), call_([](const void* context, std::string& out) {
              (*static_cast<const Format*>(context))(out);
          }) {}

    void format_into(std::string& out) const { call_(context_, out); }
    std::string format() const {
        std::string out;
        format_into(out);
        return out;
    }

private:
    const void* context_;
    void (*call_)(const void*, std::string&);
};

struct Record {
    Level level;
    std::string_view target;
    const LazyMessage& message;
    std::string_view file;  // source file of the log call
    std::uint32_t line;     // line of the log call
};

// Where records go once they pass the global maximum level. Must never throw into the caller.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void log(const Record& record) noexcept = 0;
    // True when records of `level` for `target` are dropped on a decision that stands until the
    // sink calls `renew_decisions()`: call sites then stop offering them.
    virtual bool refuses_until_renewed(Level /*level*/,
                                       std::string_view /*target*/) const noexcept {
        return false;
    }
};

namespace detail {
// Written when the sink is installed or the maximum changes; read by every log call.
inline std::atomic<LevelFilter> global_max_level{LevelFilter::Off};
// Moves whenever a decision a sink reported as standing may have changed; 0 before any sink.
inline std::atomic<std::uint64_t> decisions_generation{0};
}  // namespace detail

inline LevelFilter max_level() noexcept {
    return detail::global_max_level.load(std::memory_order_relaxed);
}
void set_max_level(LevelFilter filter) noexcept;

// Forgets every standing refusal that call sites remember.
void renew_decisions() noexcept;

// Installs the process-wide sink, which then lives until the process ends. Returns false, and
// drops `sink`, when one is installed already.
bool set_sink(std::unique_ptr<Sink> sink) noexcept;

// Hands a record to the installed sink, if any.
void dispatch(const Record& record) noexcept;

inline bool level_enabled(Level level) noexcept {
    return passes(level, max_level());
}

template <class... Parts>
void log(Level level, std::string_view target, std::string_view file, std::uint32_t line,
         const Parts&... parts) noexcept {
    if (!level_enabled(level)) return;
    auto format = [&](std::string& out) { append_all(out, parts...); };
    LazyMessage message(format);
    dispatch(Record{level, target, message, file, line});
}

// What one log statement remembers: the generation of decisions in which the sink refused its
// records for good. A statement always logs one level to one target, so the refusal holds for
// every later call of it until the decisions are renewed. Debug records that no logger wants are
// most of all records, and this makes each of them one comparison.
struct CallSite {
    std::atomic<std::uint64_t> refused_in{0};
};

// Whether the sink refuses the records of `level` for `target` on a standing decision.
bool refused_until_renewed(Level level, std::string_view target) noexcept;

// Whether records of `level` for `target` may be wanted: what a caller asks before work whose
// only use is such records, or whose cheaper form would leave some out.
inline bool records_wanted(Level level, std::string_view target) noexcept {
    return level_enabled(level) && !refused_until_renewed(level, target);
}

template <class... Parts>
void log_at(CallSite& site, Level level, std::string_view target, std::string_view file,
            std::uint32_t line, const Parts&... parts) noexcept {
    if (!level_enabled(level)) return;
    // Read before the sink is asked: a renewal meanwhile leaves a refusal of an old generation,
    // which no later call matches.
    const std::uint64_t generation = detail::decisions_generation.load(std::memory_order_acquire);
    if (site.refused_in.load(std::memory_order_relaxed) == generation) return;
    if (generation != 0 && refused_until_renewed(level, target)) {
        site.refused_in.store(generation, std::memory_order_relaxed);
        return;
    }
    auto format = [&](std::string& out) { append_all(out, parts...); };
    LazyMessage message(format);
    dispatch(Record{level, target, message, file, line});
}

}  // namespace modweave::logging_bridge

// Logs with the call's own source file and line. Each statement keeps its own `CallSite`.
#define MODWEAVE_LOG(level, target, ...)                                \
    ::modweave::logging_bridge::log_at(                                 \
        []() noexcept -> ::modweave::logging_bridge::CallSite& {        \
            static constinit ::modweave::logging_bridge::CallSite site; \
            return site;                                                \
        }(),                                                            \
        ::modweave::logging_bridge::Level::level, target, __FILE__,     \
        static_cast<std::uint32_t>(__LINE__), __VA_ARGS__)
