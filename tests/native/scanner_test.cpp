// What the Python suite cannot reach: the identifier normaliser's contract, malformed UTF-8,
// views inside larger buffers, the SIMD searches against their bytewise forms, and random texts.
// Agreement with the interpreter's parser is tested from Python (tests/test_scan.py).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/byte_search.hpp"
#include "scanner/scanner.hpp"

namespace modweave::scanner {
namespace {

using minimal_parser::Alias;
using minimal_parser::Import;
using minimal_parser::ImportFrom;

std::vector<std::string> imported_names(const std::vector<ScannedImport>& imports) {
    std::vector<std::string> names;
    for (const ScannedImport& scanned : imports) {
        const auto& aliases = std::holds_alternative<Import>(scanned.statement)
                                  ? std::get<Import>(scanned.statement).names
                                  : std::get<ImportFrom>(scanned.statement).names;
        for (const Alias& alias : aliases)
            names.push_back(alias.name);
    }
    return names;
}

TEST(ScannerNormalizer, IsAskedOnlyForWellFormedNonAsciiIdentifiers) {
    std::vector<std::string> asked;
    const IdentifierNormalizer upper = [&](std::string_view identifier) {
        asked.emplace_back(identifier);
        return std::string("N") + std::to_string(asked.size());
    };
    const std::string source =
        "import caf\xC3\xA9.plain as \xC3\xA9t\xC3\xA9\n"
        "import bad\xC3(x)\n"  // a cut sequence: kept as written
        "x = '\xC3\xA9'\n"
        "if \xEF\xBC\xB4:\n"  // a header's name is normalised too before it is compared
        " import b\n";
    const std::vector<ScannedImport> imports = scan(source, upper);
    EXPECT_EQ(asked,
              (std::vector<std::string>{"caf\xC3\xA9", "\xC3\xA9t\xC3\xA9", "\xEF\xBC\xB4"}));
    ASSERT_EQ(imports.size(), 3u);
    EXPECT_EQ(std::get<Import>(imports[0].statement).names,
              (std::vector<Alias>{{"N1.plain", "N2"}}));
    EXPECT_EQ(imported_names({imports[1]}), (std::vector<std::string>{"bad\xC3"}));
    EXPECT_FALSE(imports[2].type_checking);

    const IdentifierNormalizer to_type_checking = [](std::string_view) {
        return std::string("TYPE_CHECKING");
    };
    EXPECT_TRUE(scan("if \xEF\xBC\xB4:\n import b\n", to_type_checking).at(0).type_checking);
    EXPECT_EQ(imported_names(scan("import \xC3\xA9")), (std::vector<std::string>{"\xC3\xA9"}));
}

TEST(ScannerBuffers, ReadsNothingPastTheEndOfItsView) {
    // Every length up to a few windows, cut from a text that goes on with an import.
    const std::string text =
        "import a\nx = f'{b:>{c}}' + '''d\n''' # e (\nfrom .f import (g,\n h)\nif i: import j\n";
    const std::string after = "\nimport beyond\n";
    for (std::size_t length = 0; length <= text.size(); ++length) {
        const std::string buffer = text.substr(0, length) + after;
        const std::vector<ScannedImport> in_view = scan(std::string_view(buffer).substr(0, length));
        EXPECT_EQ(in_view, scan(text.substr(0, length))) << length;
        for (const std::string& name : imported_names(in_view))
            EXPECT_EQ(name.find("beyond"), std::string::npos) << length;
    }
}

TEST(ScannerByteSearch, SixteenAtATimeAgreesWithByteByByte) {
    using Stops = ByteSet<'"', '{', '}', '\\', '\n', '\r'>;
    std::mt19937 random(11);
    const std::string alphabet = "\"{}\\\n\rab \x80\xFF";
    for (int round = 0; round < 2000; ++round) {
        std::string text(random() % 100, 'x');
        for (char& byte : text) {
            if (random() % 8 == 0) byte = alphabet[random() % alphabet.size()];
        }
        const char* end = text.data() + text.size();
        for (std::size_t start = 0; start <= text.size(); start += 7) {
            EXPECT_EQ(Stops::find(text.data() + start, end),
                      Stops::find_bytewise(text.data() + start, end));
        }
    }
}

TEST(ScannerByteSearch, CountsEveryRunOfSpaces) {
    for (std::size_t run = 0; run <= 40; ++run) {
        for (const std::string& rest : {std::string(), std::string("x"), std::string("\t ")}) {
            const std::string text = std::string(run, ' ') + rest;
            EXPECT_EQ(count_spaces(text.data(), text.data() + text.size()), run) << run;
        }
    }
}

TEST(ScannerByteSearch, CodeMasksHoldEveryStructuralByte) {
    using Opens = ByteSet<'(', '[', '{'>;
    using Closes = ByteSet<')', ']', '}'>;
    using Events = ByteSet<'\n', '\r', ';', ':', '"', '\'', '#', '\\'>;
    // Every way of computing the masks this processor runs: 16 bytes at a time, and 32 where
    // AVX2 is there.
    std::vector<CodeMasks (*)(const char*)> ways{
        [](const char* block) { return code_masks(block); }};
#if defined(MODWEAVE_AVX2_MASKS)
    if (has_avx2_masks()) ways.push_back([](const char* block) { return code_masks_avx2(block); });
#endif
    static constexpr std::string_view structural = "([{)]}\n\r;:\"'#\\ ax";
    std::mt19937 random(5);
    for (int round = 0; round < 500; ++round) {
        char block[64];
        // Half the rounds any byte, half mostly structural ones.
        for (char& byte : block) {
            byte = round % 2 == 0 ? static_cast<char>(random() % 256)
                                  : structural[random() % structural.size()];
        }
        for (const auto way : ways) {
            const CodeMasks masks = way(block);
            for (unsigned index = 0; index < 64; ++index) {
                const auto bit = [&](std::uint64_t mask) { return (mask >> index & 1) != 0; };
                EXPECT_EQ(bit(masks.opens), Opens::contains(block[index])) << int(block[index]);
                EXPECT_EQ(bit(masks.closes), Closes::contains(block[index])) << int(block[index]);
                EXPECT_EQ(bit(masks.events), Events::contains(block[index])) << int(block[index]);
            }
        }
    }
}

TEST(ScannerRobustness, RandomTextsGiveWellFormedRecordsOnLinesOfTheText) {
    const std::vector<std::string> pieces = {
        "import ",
        "from ",
        " as ",
        ".",
        ",",
        "(",
        ")",
        "[",
        "}",
        "{",
        "\n",
        "\r",
        "\r\n",
        " ",
        "\t",
        "\f",
        "\\",
        "\\\n",
        "#",
        "'",
        "\"",
        "'''",
        "\"\"\"",
        "f",
        "rb",
        "x",
        ":",
        ";",
        "if ",
        "elif ",
        "TYPE_CHECKING",
        "*",
        "\xC3",
        "\xA9",
        "\0",
        "\xEF\xBB\xBF",
        "!r",
        "=",
    };
    std::mt19937 random(29);
    for (int round = 0; round < 5000; ++round) {
        std::string text;
        const std::size_t count = random() % 60;
        for (std::size_t i = 0; i < count; ++i)
            text += pieces[random() % pieces.size()];
        std::size_t lines = 1;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n' ||
                (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
                ++lines;
        }
        for (const ScannedImport& scanned : scan(text)) {
            EXPECT_GE(scanned.line, 1u) << text;
            EXPECT_LE(scanned.line, lines) << text;
            const std::vector<std::string> names = imported_names({scanned});
            EXPECT_FALSE(names.empty()) << text;
            for (const std::string& name : names)
                EXPECT_FALSE(name.empty()) << text;
        }
    }
}

TEST(ScannerRobustness, DeepNestingNeedsNoStack) {
    const std::string brackets = std::string(100'000, '(') + "\nimport a";
    EXPECT_TRUE(scan(brackets).empty());
    std::string fstrings;
    for (int i = 0; i < 20'000; ++i)
        fstrings += i % 2 == 0 ? "f\"{" : "f'{";
    EXPECT_TRUE(scan(fstrings + "\nimport a").empty());
    EXPECT_EQ(scan(std::string(100'000, ')') + "\nimport a").size(), 1u);
}

}  // namespace
}  // namespace modweave::scanner
