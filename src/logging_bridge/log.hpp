// The logging interface every component reports through.
//
// A log call names a level, a target (the emitting component, segments joined by "::") and a
// message made of pieces that are only formatted once a sink wants the record. With no sink
// installed, or a level above the global maximum, a call costs one atomic load.
#pragma once

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
    // False only when the sink knows that a record of `level` for `target` would be dropped.
    virtual bool may_accept(Level /*level*/, std::string_view /*target*/) const noexcept {
        return true;
    }
};

LevelFilter max_level() noexcept;
void set_max_level(LevelFilter filter) noexcept;

// Installs the process-wide sink, which then lives until the process ends. Returns false, and
// drops `sink`, when one is installed already.
bool set_sink(std::unique_ptr<Sink> sink) noexcept;

// Hands a record to the installed sink, if any.
void dispatch(const Record& record) noexcept;

inline bool level_enabled(Level level) noexcept {
    return passes(level, max_level());
}

// Whether a record of `level` for `target` may be kept: for a message that is costly to make even
// before it is formatted. False when the global maximum or the sink rules it out.
bool target_may_log(Level level, std::string_view target) noexcept;

template <class... Parts>
void log(Level level, std::string_view target, std::string_view file, std::uint32_t line,
         const Parts&... parts) noexcept {
    if (!level_enabled(level)) return;
    auto format = [&](std::string& out) { append_all(out, parts...); };
    LazyMessage message(format);
    dispatch(Record{level, target, message, file, line});
}

}  // namespace modweave::logging_bridge

// Logs with the call's own source file and line.
#define MODWEAVE_LOG(level, target, ...)                                                        \
    ::modweave::logging_bridge::log(::modweave::logging_bridge::Level::level, target, __FILE__, \
                                    static_cast<std::uint32_t>(__LINE__), __VA_ARGS__)
