// A sink for native tests: records every log record that passes the global maximum level, so a
// test can check which records an operation made and in what order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "logging_bridge/log.hpp"

namespace modweave::testing {

struct CapturedRecord {
    logging_bridge::Level level;
    std::string target;
    std::string message;

    bool operator==(const CapturedRecord&) const = default;
};

// Records captured since the last clear(). The sink is installed once by the test main, at Debug.
std::vector<CapturedRecord>& captured_records();
void clear_captured_records();
// The target whose records the sink refuses until decisions are renewed (none when empty), and
// how often call sites have asked it.
std::string& refused_target();
int& refusal_questions();
// Messages only, in order, for the records of one target.
std::vector<std::string> captured_messages(std::string_view target);

}  // namespace modweave::testing
