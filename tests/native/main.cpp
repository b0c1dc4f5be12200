#include <gtest/gtest.h>

#include <memory>

#include "test_sink.hpp"

namespace modweave::testing {
namespace {

class CapturingSink final : public logging_bridge::Sink {
public:
    void log(const logging_bridge::Record& record) noexcept override {
        captured_records().push_back(
            {record.level, std::string(record.target), record.message.format()});
    }

    bool refuses_until_renewed(logging_bridge::Level /*level*/,
                               std::string_view target) const noexcept override {
        ++refusal_questions();
        return target == refused_target();
    }
};

}  // namespace

std::vector<CapturedRecord>& captured_records() {
    static std::vector<CapturedRecord> records;
    return records;
}

std::string& refused_target() {
    static std::string target;
    return target;
}

int& refusal_questions() {
    static int questions = 0;
    return questions;
}

void clear_captured_records() {
    captured_records().clear();
}

std::vector<std::string> captured_messages(std::string_view target) {
    std::vector<std::string> messages;
    for (const auto& record : captured_records()) {
        if (record.target == target) messages.push_back(record.message);
    }
    return messages;
}

}  // namespace modweave::testing

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    modweave::logging_bridge::set_sink(std::make_unique<modweave::testing::CapturingSink>());
    modweave::logging_bridge::set_max_level(modweave::logging_bridge::LevelFilter::Debug);
    return RUN_ALL_TESTS();
}
