#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <variant>

#include "core/source_decoding.hpp"

namespace modweave::core {
namespace {

using namespace std::string_literals;

enum class Outcome { Text, Foreign, Undecodable };

struct DecodingCase {
    std::string bytes;
    Outcome outcome;
    std::string expected;  // the UTF-8 text, or the declared encoding the codecs must decode
};

TEST(DecodeSource, DecodesAsTheInterpreterDoes) {
    using enum Outcome;
    const DecodingCase cases[] = {
        {"import a\n", Text, "import a\n"},
        {"\xEF\xBB\xBFimport a\n", Text, "import a\n"},
        {"# coding: latin-1\nx = '\xE9'\n", Text, "# coding: latin-1\nx = '\xC3\xA9'\n"},
        {"#!/bin/python\n# -*- coding: ISO_8859_1 -*-\n\xFF", Text,
         "#!/bin/python\n# -*- coding: ISO_8859_1 -*-\n\xC3\xBF"},
        {"\n# vim: set fileencoding=utf8 :\n", Text, "\n# vim: set fileencoding=utf8 :\n"},
        {"# coding=cp1252\n\x80", Foreign, "cp1252"},
        {"#\r\n# coding: euc-jp\r\n", Foreign, "euc-jp"},
        // A declaration counts on the first two lines only, and on the second only after a
        // blank or comment line.
        {"import a\n# coding: latin-1\n\xE9", Undecodable, ""},
        {"\n\n# coding: latin-1\n\xE9", Undecodable, ""},
        {"x = 1  # coding: latin-1\n\xE9", Undecodable, ""},
        {"# coding: latin-1 \xE9", Text, "# coding: latin-1 \xC3\xA9"},
        {"\xEF\xBB\xBF# coding: latin-1\n", Undecodable, ""},
        {"\xEF\xBB\xBF# coding: utf-8\n", Text, "# coding: utf-8\n"},
        {"x = '\xC0\x80'\n", Undecodable, ""},      // overlong
        {"x = '\xED\xA0\x80'\n", Undecodable, ""},  // a surrogate
    };
    for (const auto& c : cases) {
        auto decoded = decode_source(c.bytes);
        switch (c.outcome) {
            case Undecodable:
                EXPECT_TRUE(std::holds_alternative<UndecodableSource>(decoded)) << c.bytes;
                break;
            case Foreign:
                ASSERT_TRUE(std::holds_alternative<ForeignEncoding>(decoded)) << c.bytes;
                EXPECT_EQ(std::get<ForeignEncoding>(decoded).encoding, c.expected);
                EXPECT_EQ(std::get<ForeignEncoding>(decoded).bytes, c.bytes);
                break;
            case Text:
                ASSERT_TRUE(std::holds_alternative<std::string>(decoded)) << c.bytes;
                EXPECT_EQ(std::get<std::string>(decoded), c.expected);
                break;
        }
    }
}

}  // namespace
}  // namespace modweave::core
