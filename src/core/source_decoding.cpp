#include "core/source_decoding.hpp"

#include <algorithm>
#include <cctype>

#include "core/source_file.hpp"
#include "logging_bridge/log.hpp"
#include "system/io.hpp"
#include "text/utf8.hpp"

namespace modweave::core {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool is_blank(char character) {
    return character == ' ' || character == '\t' || character == '\f';
}

bool is_encoding_character(char character) {
    const auto byte = static_cast<unsigned char>(character);
    return byte < 0x80 &&
           (std::isalnum(byte) != 0 || character == '-' || character == '_' || character == '.');
}

// The first line of `text` and the rest after its line end ("\n", "\r\n" or a lone "\r").
std::pair<std::string_view, std::string_view> split_line(std::string_view text) {
    const auto end = text.find_first_of("\r\n");
    if (end == std::string_view::npos) return {text, {}};
    std::size_t next = end + 1;
    if (text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
    return {text.substr(0, end), text.substr(next)};
}

// A line that lets the declaration stand on the next one: empty, blank or a comment.
bool is_blank_or_comment(std::string_view line) {
    const auto first = std::find_if_not(line.begin(), line.end(), is_blank);
    return first == line.end() || *first == '#';
}

enum class KnownEncoding { Utf8, Latin1, Other };

// The interpreter's own short list of names it treats as UTF-8 and Latin-1, compared without
// regard to case and with "_" taken as "-".
KnownEncoding classify(std::string_view declared) {
    std::string name;
    name.reserve(declared.size());
    for (const char character : declared) {
        name.push_back(character == '_' ? '-'
                                        : static_cast<char>(
                                              std::tolower(static_cast<unsigned char>(character))));
    }
    const auto is_or_starts = [&](std::string_view family) {
        return name == family || (name.starts_with(family) && name[family.size()] == '-');
    };
    if (is_or_starts("utf-8") || name == "utf8") return KnownEncoding::Utf8;
    if (is_or_starts("latin-1") || is_or_starts("iso-8859-1") || is_or_starts("iso-latin-1") ||
        name == "latin1") {
        return KnownEncoding::Latin1;
    }
    return KnownEncoding::Other;
}

std::string latin1_to_utf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() + bytes.size() / 8);
    for (const char character : bytes) {
        const auto byte = static_cast<unsigned char>(character);
        if (byte < 0x80) {
            text.push_back(character);
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

}  // namespace

std::string_view declared_encoding(std::string_view line) {
    const auto first = std::find_if_not(line.begin(), line.end(), is_blank);
    if (first == line.end() || *first != '#') return {};
    for (auto at = line.find("coding"); at != std::string_view::npos;
         at = line.find("coding", at + 1)) {
        std::size_t position = at + 6;
        if (position >= line.size() || (line[position] != ':' && line[position] != '=')) continue;
        ++position;
        while (position < line.size() && (line[position] == ' ' || line[position] == '\t'))
            ++position;
        std::size_t end = position;
        while (end < line.size() && is_encoding_character(line[end]))
            ++end;
        if (end > position) return line.substr(position, end - position);
    }
    return {};
}

DecodedSource decode_source_view(std::string_view bytes) {
    const bool has_bom = bytes.starts_with(kByteOrderMark);
    std::string_view body = bytes;
    if (has_bom) body.remove_prefix(kByteOrderMark.size());

    const auto [first_line, rest] = split_line(body);
    std::string_view declared = declared_encoding(first_line);
    if (declared.empty() && is_blank_or_comment(first_line)) {
        declared = declared_encoding(split_line(rest).first);
    }

    KnownEncoding encoding = KnownEncoding::Utf8;
    if (!declared.empty()) {
        encoding = classify(declared);
        if (has_bom && encoding != KnownEncoding::Utf8) {
            return UndecodableSource{
                logging_bridge::concat("encoding problem: '", declared,
                                       "' declared in a file with a UTF-8 byte-order mark")};
        }
    }
    switch (encoding) {
        case KnownEncoding::Utf8: {
            const std::size_t invalid = text::find_invalid_utf8(body);
            if (invalid != std::string_view::npos) {
                return UndecodableSource{logging_bridge::concat(
                    "invalid UTF-8 at byte ", invalid + (has_bom ? kByteOrderMark.size() : 0))};
            }
            return body;
        }
        case KnownEncoding::Latin1:
            return latin1_to_utf8(body);
        case KnownEncoding::Other:
            break;
    }
    return ForeignEncoding{std::string(declared), std::string(bytes)};
}

std::variant<std::string, ForeignEncoding, UndecodableSource> decode_source(std::string bytes) {
    DecodedSource decoded = decode_source_view(bytes);
    if (const auto* text = std::get_if<std::string_view>(&decoded)) {
        // The bytes themselves, without the byte-order mark.
        bytes.erase(0, static_cast<std::size_t>(text->data() - bytes.data()));
        return bytes;
    }
    if (auto* text = std::get_if<std::string>(&decoded)) return std::move(*text);
    if (auto* foreign = std::get_if<ForeignEncoding>(&decoded)) return std::move(*foreign);
    return std::move(std::get<UndecodableSource>(decoded));
}

void warn_unreadable(const importlib::ModuleSpec& spec, std::string_view reason) {
    MODWEAVE_LOG(Warn, logging_bridge::targets::core_builder, "Unable to read file for spec '",
                 spec.name, "' with origin '", spec.origin.value_or(""), "' skipping: ", reason);
}

}  // namespace modweave::core
