#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/source_file.hpp"
#include "core_builder_support.hpp"
#include "core_test_support.hpp"
#include "test_sink.hpp"

namespace modweave::core {
namespace {

using builder_test::FdCapture;
using builder_test::ScratchDirectory;
using test_support::failure_of;

TEST(SourceFileTest, PathExtensionFollowsThePathRule) {
    struct Case {
        std::string_view path;
        std::optional<std::string_view> extension;
    };
    const Case cases[] = {
        {"/p/m.py", "py"},        {"m.py", "py"},
        {"/p/m.tar.py", "py"},    {"/p/m.cpython-312-x86_64-linux-gnu.so", "so"},
        {"/p/M.PY", "PY"},        {"/p/m.", ""},      // an empty extension, not none
        {"/p/.py", std::nullopt}, {"/p/..py", "py"},  // begins with a ".", but not its only one
        {"/p.d/m", std::nullopt},                     // a "." in a folder does not count
        {"/p/m.py/", "py"},       {"/p/m.py/.", "py"},
        {"/p/m.py//./", "py"},    {"/p/..", std::nullopt},
        {".", std::nullopt},      {"/", std::nullopt},
        {"", std::nullopt},       {"frozen", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(path_extension(c.path), c.extension) << c.path;
    }
}

TEST(SourceFileTest, FindInvalidUtf8) {
    using namespace std::string_view_literals;
    constexpr auto valid = std::string_view::npos;
    struct Case {
        std::string_view bytes;
        std::size_t invalid;
    };
    const Case cases[] = {
        {"", valid},
        {"import os\n", valid},
        {"\xEF\xBB\xBFx = 'caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x90\x8D'", valid},
        {"\xF4\x8F\xBF\xBF", valid},  // U+10FFFF
        {"\xED\x9F\xBF", valid},      // U+D7FF, just below the surrogates
        {"ab\xFF", 2},
        {"ab\x80", 2},  // a continuation byte on its own
        {"a\xC3", 1},   // cut short at the end
        {"a\xE2\x82", 1},
        {"a\xE2\x82x", 1},
        {"\xC0\xAF", 0},  // overlong
        {"\xC1\xBF", 0},
        {"\xE0\x9F\xBF", 0},      // overlong three-byte form
        {"\xF0\x8F\xBF\xBF", 0},  // overlong four-byte form
        {"\xED\xA0\x80", 0},      // a surrogate
        {"\xF4\x90\x80\x80", 0},  // above U+10FFFF
        {"\xF5\x80\x80\x80", 0},
        {"x\0y\xFE"sv, 3},  // NUL is a character like any other
    };
    for (const auto& c : cases) {
        EXPECT_EQ(find_invalid_utf8(c.bytes), c.invalid) << ::testing::PrintToString(c.bytes);
    }
    // Long ASCII runs are checked many bytes at a time: a fault is found at every offset, and a
    // valid character anywhere is passed over.
    for (std::size_t at = 0; at < 100; ++at) {
        std::string text(100, 'x');
        text[at] = '\xFF';
        EXPECT_EQ(find_invalid_utf8(text), at);
        text.replace(at, 1, "\xC3\xA9");
        EXPECT_EQ(find_invalid_utf8(text), valid) << at;
    }
}

TEST(SourceFileTest, ReadsWholeFilesByteForByte) {
    ScratchDirectory directory;
    const std::string large = [] {
        std::string text;
        while (text.size() < 300'000)
            text += "import os  # \xC3\xA9t\xC3\xA9\r\n";
        return text;
    }();
    const std::string contents[] = {
        "",
        "import os\n",
        "\xEF\xBB\xBF# -*- coding: latin-1 -*-\r\nimport a\rimport b",  // kept as it is
        std::string(4096, 'x'),  // exactly the size of the buffer without a size hint
        large,
    };
    int index = 0;
    for (const auto& content : contents) {
        const std::string path = directory.write("m" + std::to_string(index++) + ".py", content);
        const auto read = read_source_file(path);
        ASSERT_TRUE(std::holds_alternative<std::string>(read));
        EXPECT_EQ(std::get<std::string>(read), content);
    }
}

TEST(SourceFileTest, FilesThatCannotBeOpenedReportTheirError) {
    ScratchDirectory directory;
    std::filesystem::create_directories(directory.path() / "folder.py");
    const std::string fifo = (directory.path() / "fifo.py").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string file = directory.write("real.py", "import os\n");

    struct Case {
        std::string path;
        int error_number;
    };
    const std::vector<Case> cases = {
        {(directory.path() / "missing.py").string(), ENOENT},
        {(directory.path() / "folder.py").string(), EISDIR},
        {fifo, EINVAL},  // neither blocks nor reads a stream that may never end
        {file + "/inner.py", ENOTDIR},
        // Opened as it stands, this would read real.py.
        {file + std::string("\0.txt", 5), EINVAL},
    };
    for (const auto& c : cases) {
        const auto read = read_source_file(c.path);
        ASSERT_TRUE(std::holds_alternative<OpenFailure>(read)) << c.path;
        EXPECT_EQ(std::get<OpenFailure>(read).error_number, c.error_number) << c.path;
    }

    if (::geteuid() != 0) {  // permissions do not stop root
        std::filesystem::permissions(file, std::filesystem::perms::none);
        const auto read = read_source_file(file);
        ASSERT_TRUE(std::holds_alternative<OpenFailure>(read));
        EXPECT_EQ(std::get<OpenFailure>(read).error_number, EACCES);
    }
}

TEST(SourceFileTest, InvalidUtf8FailsNamingThePath) {
    ScratchDirectory directory;
    const std::string path = directory.write("latin.py", "s = 'caf\xE9'\n");
    EXPECT_EQ(failure_of([&] { read_source_file(path); }),
              "Failed to read file '" + path + "': stream did not contain valid UTF-8 (byte 8)");
}

TEST(SourceFileTest, SystemErrorLine) {
    EXPECT_EQ(system_error_line(ENOENT), "System error: No such file or directory (os error 2)\n");
    EXPECT_EQ(system_error_line(EACCES), "System error: Permission denied (os error 13)\n");
    EXPECT_EQ(system_error_line(EISDIR), "System error: Is a directory (os error 21)\n");
}

TEST(SourceFileTest, SystemErrorWithoutStandardErrorIsDropped) {
    std::fflush(nullptr);
    const int saved = ::dup(2);
    ASSERT_GE(saved, 0);
    ::close(2);
    bool threw = false;
    try {
        report_system_error(ENOENT);
    } catch (...) {
        threw = true;
    }
    ::dup2(saved, 2);
    ::close(saved);
    EXPECT_FALSE(threw);
}

TEST(SourceFileTest, LoadSourceDecidesOnTheOrigin) {
    ScratchDirectory directory;
    const std::string source = directory.write("m.py", "import os\n");
    const std::string missing = (directory.path() / "gone.py").string();
    const std::string so = directory.write("m.cpython-312-x86_64-linux-gnu.so", "import os\n");
    const std::string upper = directory.write("M.PY", "import os\n");
    const std::string bare = directory.write("script", "import os\n");

    struct Case {
        std::optional<std::string> origin;
        std::optional<std::string> text;
        std::vector<testing::CapturedRecord> records;
        std::string standard_error;
    };
    using logging_bridge::Level;
    const std::string target(logging_bridge::targets::core_builder);
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, {}, ""},
        {"frozen", std::nullopt, {}, ""},
        {"built-in", std::nullopt, {}, ""},
        {"Frozen",
         std::nullopt,  // only the exact words are special
         {{Level::Warn, target,
           "Unable to load extension for spec 'm' with origin 'Frozen' skipping."}},
         ""},
        {bare,
         std::nullopt,
         {{Level::Warn, target,
           "Unable to load extension for spec 'm' with origin '" + bare + "' skipping."}},
         ""},
        {so, std::nullopt, {}, ""},
        {upper, std::nullopt, {}, ""},
        {source, "import os\n", {{Level::Debug, target, "Loading file: " + source}}, ""},
        {missing,
         std::nullopt,
         {{Level::Debug, target, "Loading file: " + missing},
          {Level::Warn, target,
           "Unable to load file for spec 'm' with origin '" + missing + "' skipping."}},
         "System error: No such file or directory (os error 2)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.origin.value_or("(absent)"));
        testing::clear_captured_records();
        const importlib::ModuleSpec spec{"m", c.origin, "", std::nullopt};
        FdCapture standard_error(2);
        const std::optional<std::string> text = load_source(spec);
        EXPECT_EQ(standard_error.finish(), c.standard_error);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(testing::captured_records(), c.records);
    }
}

}  // namespace
}  // namespace modweave::core
