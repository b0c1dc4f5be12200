#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "importlib/types.hpp"
#include "importlib/util.hpp"
#include "internal_failure.hpp"
#include "test_sink.hpp"

namespace modweave::importlib {
namespace {

using namespace std::string_view_literals;

struct ResolveCase {
    std::string_view name;
    std::string_view package;
    std::size_t level;
    std::string_view expected;
};

TEST(ResolveName, MakesRelativeNamesAbsolute) {
    const ResolveCase cases[] = {
        {"x", "a.b.c", 1, "a.b.c.x"},
        {"x", "a.b.c", 2, "a.b.x"},
        {"x", "a.b.c", 3, "a.x"},  // level equal to the component count keeps the first one
        {"", "a.b", 1, "a.b"},     // no trailing dot without a name
        {"", "a.b", 2, "a"},
        {"x", "", 1, ".x"},  // the empty package is one empty component
        {"", "", 1, ""},
        {"x", "a..b", 2, "a..x"},  // empty components count like any other
        {"x", "a..b", 3, "a.x"},
        {"é", "paquet.sous", 2, "paquet.é"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(resolve_name(c.name, c.package, c.level), c.expected)
            << "name '" << c.name << "' package '" << c.package << "' level " << c.level;
    }
}

struct ResolveFailureCase {
    std::string_view name;
    std::string_view package;
    std::size_t level;
    std::string_view message;
};

TEST(ResolveName, FailsWithExactMessages) {
    constexpr auto beyond = "Attempted relative import beyond top-level package"sv;
    constexpr auto level_zero = "This method has no meaning when level == 0"sv;
    const ResolveFailureCase cases[] = {
        {"x", "a.b.c", 4, beyond}, {"x", "", 2, beyond},
        {"", "a", 2, beyond},      {"x", "a.b", std::numeric_limits<std::size_t>::max(), beyond},
        {"x", "a", 0, level_zero}, {"", "", 0, level_zero},  // level is checked before the package
    };
    for (const auto& c : cases) {
        try {
            const std::string result = resolve_name(c.name, c.package, c.level);
            ADD_FAILURE() << "expected a failure, got '" << result << "'";
        } catch (const InternalFailure& failure) {
            EXPECT_EQ(failure.message(), c.message)
                << "name '" << c.name << "' package '" << c.package << "' level " << c.level;
        }
    }
}

struct QuotedCase {
    std::optional<std::string_view> text;
    std::string_view expected;
};

TEST(DebugQuoted, EscapesWhatWouldDisturbALogLine) {
    const QuotedCase cases[] = {
        {std::nullopt, "None"},
        {""sv, R"(Some(""))"},
        {"/p/m.py"sv, R"(Some("/p/m.py"))"},
        {R"(C:\dir\"q".py)"sv, R"(Some("C:\\dir\\\"q\".py"))"},
        {"it's"sv, R"(Some("it's"))"},
        {"a\nb\rc\td"sv, R"(Some("a\nb\rc\td"))"},
        {"a\0b"sv, R"(Some("a\0b"))"},
        {"\x01\x1b\x1f\x7f"sv, R"(Some("\u{1}\u{1b}\u{1f}\u{7f}"))"},
        {"\u0085\u009f"sv, R"(Some("\u{85}\u{9f}"))"},  // C1 controls
        {"\u00a0\u00ad"sv, R"(Some("\u{a0}\u{ad}"))"},  // no-break space, soft hyphen
        {"\u200b\u200f\u2028\u2029"sv, R"(Some("\u{200b}\u{200f}\u{2028}\u{2029}"))"},
        {"\u2060\u2064\ufeff"sv, R"(Some("\u{2060}\u{2064}\u{feff}"))"},
        {"\ue000\uffff\U0010ffff\U0001fffe"sv, R"(Some("\u{e000}\u{ffff}\u{10ffff}\u{1fffe}"))"},
        {"\U000e0041"sv, R"(Some("\u{e0041}"))"},               // tag character
        {"/tmp/é/中/😀 x.py"sv, R"(Some("/tmp/é/中/😀 x.py"))"},  // printable text stays
        // Bytes that are not UTF-8: stray, truncated, overlong, surrogate, above U+10FFFF.
        {"\xff"
         "a"sv,
         R"(Some("\xffa"))"},
        {"\xc3"sv, R"(Some("\xc3"))"},
        {"\xc0\xaf"sv, R"(Some("\xc0\xaf"))"},
        {"\xed\xa0\x80"sv, R"(Some("\xed\xa0\x80"))"},
        {"\xf4\x90\x80\x80"sv, R"(Some("\xf4\x90\x80\x80"))"},
        {"\xe4\xb8"
         "é"sv,
         R"(Some("\xe4\xb8é"))"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(debug_quoted(c.text), c.expected) << "for " << c.expected;
    }
}

class LoadedSpecRecord : public ::testing::Test {
protected:
    void SetUp() override { testing::clear_captured_records(); }
    void TearDown() override { logging_bridge::set_max_level(logging_bridge::LevelFilter::Debug); }
};

TEST_F(LoadedSpecRecord, NamesTheSpecAndItsOrigin) {
    struct Case {
        ModuleSpec spec;
        std::string expected;
    };
    const Case cases[] = {
        {{"m", "/p/m.py", "", std::nullopt}, R"(Loaded spec: m Some("/p/m.py"))"},
        {{"ns.pkg", std::nullopt, "ns.pkg", std::vector<std::string>{"/p/ns/pkg"}},
         "Loaded spec: ns.pkg None"},
        {{"q", R"(/p/"q"\.py)", "", std::nullopt}, R"(Loaded spec: q Some("/p/\"q\"\\.py"))"},
    };
    for (const auto& c : cases)
        log_loaded_spec(c.spec);

    ASSERT_EQ(testing::captured_records().size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& record = testing::captured_records()[i];
        EXPECT_EQ(record.level, logging_bridge::Level::Debug);
        EXPECT_EQ(record.target, "modweave::importlib::util");
        EXPECT_EQ(record.message, cases[i].expected);
    }
}

TEST_F(LoadedSpecRecord, NothingWhenDebugIsDisabled) {
    logging_bridge::set_max_level(logging_bridge::LevelFilter::Info);
    log_loaded_spec({"m", "/p/m.py", "", std::nullopt});
    EXPECT_TRUE(testing::captured_records().empty());
}

}  // namespace
}  // namespace modweave::importlib
