#include "scanner/scanner.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "scanner/byte_search.hpp"
#include "text/utf8.hpp"

namespace modweave::scanner {
namespace {

using minimal_parser::Alias;
using minimal_parser::Import;
using minimal_parser::ImportFrom;
using minimal_parser::ImportStmt;

// The bytes that change anything in code: strings, comments, brackets, statement separators,
// compound statement colons, continuations and line ends. Names, numbers and most operators
// only pass by.
using CodeStops = ByteSet<'"', '\'', '#', '(', ')', '[', ']', '{', '}', ';', ':', '\\', '\n', '\r'>;
using CommentStops = ByteSet<'\n', '\r'>;
template <char Quote>
using StringStops = ByteSet<Quote, '\\', '\n', '\r'>;
template <char Quote>
using FStringStops = ByteSet<Quote, '{', '}', '\\', '\n', '\r'>;

constexpr bool is_line_end(char byte) noexcept {
    return byte == '\n' || byte == '\r';
}

constexpr bool is_blank(char byte) noexcept {
    return byte == ' ' || byte == '\t' || byte == '\f';
}

constexpr bool is_ascii_letter(char byte) noexcept {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
}

// The interpreter's lexer takes every non-ASCII character for a possible part of a name and lets
// the parser reject the wrong ones; so does the scanner, byte by byte.
constexpr std::array<bool, 256> name_bytes = [] {
    std::array<bool, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        table[byte] = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                      (byte >= '0' && byte <= '9') || byte == '_' || byte >= 0x80;
    }
    return table;
}();

constexpr bool is_name_byte(char byte) noexcept {
    return name_bytes[static_cast<unsigned char>(byte)];
}

constexpr bool is_name_start(char byte) noexcept {
    return is_name_byte(byte) && !(byte >= '0' && byte <= '9');
}

bool holds_non_ascii(std::string_view text) noexcept {
    for (const char byte : text) {
        if (static_cast<unsigned char>(byte) >= 0x80) return true;
    }
    return false;
}

struct StringKind {
    bool formatted = false;
    bool raw = false;
};

// Which string the prefix letters in `letters` (the ASCII letters directly before a quote) make.
// Anything but one of b, r, u, f, br, rb, fr, rf in either case is a name before a plain string.
StringKind kind_of_prefix(std::string_view letters) noexcept {
    if (letters.empty() || letters.size() > 2) return {};
    bool formatted = false;
    bool raw = false;
    bool bytes = false;
    for (const char letter : letters) {
        switch (letter | 0x20) {  // lower case
            case 'f':
                if (formatted) return {};
                formatted = true;
                break;
            case 'r':
                if (raw) return {};
                raw = true;
                break;
            case 'b':
                if (bytes) return {};
                bytes = true;
                break;
            case 'u':
                if (letters.size() != 1) return {};
                break;
            default:
                return {};
        }
    }
    if (formatted && bytes) return {};
    return {formatted, raw};
}

// The state of one f-string while its text is read; nested f-strings stack up. The two depths
// follow the interpreter's lexer: every bracket opened in the f-string's replacement fields
// counts, and a field is delimited by the depth at which its "{" was opened.
struct FStringFrame {
    char quote;
    bool triple_quoted;
    bool raw;
    bool in_literal = true;  // literal text or a format spec, rather than a field's expression
    std::size_t bracket_depth = 0;
    // Number of fields open, innermost last: a field is closed by the "}" that brings
    // bracket_depth back to open_fields - 1. Zero outside any field.
    std::size_t open_fields = 0;
};

class Scanner {
public:
    Scanner(std::string_view source, const IdentifierNormalizer& normalize) noexcept
        : begin_(source.data()),
          cursor_(source.data()),
          end_(source.data() + source.size()),
          normalize_(normalize) {}

    std::vector<ScannedImport> run();

private:
    bool at_end() const noexcept { return cursor_ == end_; }
    bool next_is(char byte) const noexcept { return cursor_ != end_ && *cursor_ == byte; }
    bool byte_after_is(char byte) const noexcept {
        return end_ - cursor_ >= 2 && cursor_[1] == byte;
    }

    template <class Stops>
    void skip_to() noexcept {
        cursor_ = Stops::find(cursor_, end_);
    }

    std::size_t position() const noexcept { return static_cast<std::size_t>(cursor_ - begin_); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(end_ - begin_); }
    bool byte_at_is(std::size_t index, char byte) const noexcept {
        return index < size() && begin_[index] == byte;
    }

    // Finds the structure of the 64 bytes from `from` on (fewer at the end of the text).
    template <bool kAvx2>
    [[gnu::always_inline]] void load_window(std::size_t from) noexcept {
        window_start_ = from;
        if (size() - from >= 64) {
            window_ = masks_of<kAvx2>(begin_ + from);
        } else {
            char tail[64] = {};  // NUL structures nothing
            std::memcpy(tail, begin_ + from, size() - from);
            window_ = masks_of<kAvx2>(tail);
        }
    }

    template <bool kAvx2>
    [[gnu::always_inline]] static CodeMasks masks_of(const char* block) noexcept {
#if defined(MODWEAVE_AVX2_MASKS)
        if constexpr (kAvx2) return code_masks_avx2(block);
#endif
        return code_masks(block);
    }

    // At a line end byte: steps over "\n", "\r\n" or "\r" and counts the line.
    void consume_line_end() noexcept {
        if (*cursor_ == '\r' && byte_after_is('\n')) ++cursor_;
        ++cursor_;
        ++line_;
    }

    // At a backslash: steps over it, and over the line end it continues, when there is one.
    void consume_backslash() noexcept {
        ++cursor_;
        if (cursor_ != end_ && is_line_end(*cursor_)) consume_line_end();
    }

    bool keyword_at(std::string_view word) const noexcept;
    void skip_blanks(bool inside_brackets) noexcept;
    bool find_first_token(std::size_t& column) noexcept;
    void close_type_checking_blocks(std::size_t column) noexcept;

    bool read_statement_start(bool starts_line, std::size_t column);
    bool read_type_checking_header(std::size_t column);
    void read_import();
    void read_import_from();
    std::string_view read_identifier() noexcept;
    bool read_name(std::string& out);
    bool read_dotted_name(std::string& out);
    bool read_ascii_dotted_span(std::string& out);
    bool read_alias_tail(Alias& alias, bool inside_brackets);
    void append_identifier(std::string& out, std::string_view identifier);
    void emit(ImportStmt statement, std::size_t line);

    void begin_logical_line();
    void begin_statement();
    bool word_at(std::size_t index, std::string_view word) const noexcept;
    [[gnu::always_inline]] std::size_t spaces_at(std::size_t index) const noexcept;
    [[gnu::always_inline]] bool needs_line_start(std::size_t next) const noexcept;
    [[gnu::always_inline]] bool needs_statement_start(std::size_t next) const noexcept;
    // The walk over code, with the mask windows the processor computes fastest.
    void walk_code();
    template <bool kAvx2>
    [[gnu::always_inline]] inline void walk_code_with();
    MODWEAVE_POPCOUNT_CLONES void walk_code_portable();
#if defined(MODWEAVE_AVX2_MASKS)
    [[gnu::target("avx2,popcnt")]] void walk_code_avx2();
#endif
    StringKind kind_of_string_at(const char* quote) const noexcept;
    void skip_string() noexcept;
    void skip_plain_string() noexcept;
    template <char quote>
    void skip_plain_string() noexcept;
    void skip_formatted_string(bool raw) noexcept;
    void push_fstring(bool raw) noexcept;
    void scan_fstring_literal() noexcept;
    template <char quote>
    void scan_fstring_literal() noexcept;
    void scan_fstring_expression() noexcept;

    const char* begin_;
    const char* cursor_;
    const char* end_;
    const IdentifierNormalizer& normalize_;
    std::size_t line_ = 1;
    std::size_t depth_ = 0;  // brackets open in the current statement, outside f-strings
    std::vector<FStringFrame> fstrings_;
    // Indentation columns of the `if TYPE_CHECKING:` headers whose bodies enclose the cursor.
    std::vector<std::size_t> type_checking_columns_;
    std::vector<ScannedImport> records_;
    std::size_t window_start_ = 0;  // the bytes walk_code sees at once: 64 from here
    CodeMasks window_{0, 0, 0};
};

std::vector<ScannedImport> Scanner::run() {
    static constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
    if (std::string_view(begin_, size()).starts_with(byte_order_mark)) {
        cursor_ += byte_order_mark.size();
    }
    begin_logical_line();
    walk_code();
    return std::move(records_);
}

// At the start of a physical line outside brackets and strings.
void Scanner::begin_logical_line() {
    std::size_t column = 0;
    if (!find_first_token(column)) return;
    close_type_checking_blocks(column);
    depth_ = 0;
    if (read_statement_start(true, column)) begin_statement();
}

// After a ";" or a compound statement's ":" outside brackets.
void Scanner::begin_statement() {
    depth_ = 0;
    skip_blanks(false);
    if (!at_end()) read_statement_start(false, 0);
}

bool Scanner::keyword_at(std::string_view word) const noexcept {
    return word_at(position(), word);
}

// Spaces, tabs, form feeds and line continuations; inside brackets also line ends and comments.
void Scanner::skip_blanks(bool inside_brackets) noexcept {
    while (cursor_ != end_) {
        const char byte = *cursor_;
        if (is_blank(byte)) {
            ++cursor_;
        } else if (byte == '\\' && end_ - cursor_ >= 2 && is_line_end(cursor_[1])) {
            consume_backslash();
        } else if (inside_brackets && is_line_end(byte)) {
            consume_line_end();
        } else if (inside_brackets && byte == '#') {
            skip_to<CommentStops>();
        } else {
            return;
        }
    }
}

// At the start of a physical line outside brackets and strings: steps over blank lines and lines
// holding only a comment, as the interpreter's lexer does, to the first token of the next logical
// line. Returns false at the end of the text; else `column` is the line's indentation, with tabs
// to the next multiple of 8 and a form feed starting over at 0.
bool Scanner::find_first_token(std::size_t& column) noexcept {
    column = 0;
    while (cursor_ != end_) {
        const char byte = *cursor_;
        if (byte == ' ') {
            const std::size_t spaces = spaces_at(position());
            column += spaces;
            cursor_ += spaces;
        } else if (byte == '\t') {
            column = (column / 8 + 1) * 8;
            ++cursor_;
        } else if (byte == '\f') {
            column = 0;
            ++cursor_;
        } else if (is_line_end(byte)) {
            consume_line_end();
            column = 0;
        } else if (byte == '#') {
            skip_to<CommentStops>();
        } else if (byte == '\\' && end_ - cursor_ >= 2 && is_line_end(cursor_[1])) {
            // The line goes on below; should nothing follow there, the whole of it is blank.
            consume_backslash();
        } else {
            return true;
        }
    }
    return false;
}

void Scanner::close_type_checking_blocks(std::size_t column) noexcept {
    while (!type_checking_columns_.empty() && type_checking_columns_.back() >= column) {
        type_checking_columns_.pop_back();
    }
}

// At the first byte of a statement. Reads the statement when it is an import; at the start of a
// logical line also notes an `if TYPE_CHECKING:` header. Returns true when the cursor is left at
// the start of another statement: the body after such a header's colon.
bool Scanner::read_statement_start(bool starts_line, std::size_t column) {
    switch (*cursor_) {
        case 'i':
            if (keyword_at("import")) {
                read_import();
            } else if (starts_line && keyword_at("if")) {
                cursor_ += 2;
                return read_type_checking_header(column);
            }
            return false;
        case 'f':
            if (keyword_at("from")) read_import_from();
            return false;
        case 'e':
            if (starts_line && keyword_at("elif")) {
                cursor_ += 4;
                return read_type_checking_header(column);
            }
            return false;
        default:
            return false;
    }
}

// After `if` or `elif`. When the whole test is TYPE_CHECKING or an attribute chain ending in it,
// possibly in parentheses, opens a type-checking block and leaves the cursor after the colon.
// Otherwise the cursor goes back to where it was, so the header is scanned as code.
bool Scanner::read_type_checking_header(std::size_t column) {
    const char* const resume_at = cursor_;
    const std::size_t resume_line = line_;
    std::size_t parentheses = 0;
    skip_blanks(false);
    while (next_is('(')) {
        ++parentheses;
        ++cursor_;
        skip_blanks(true);
    }
    std::string_view last_name;
    for (;;) {
        last_name = read_identifier();
        if (last_name.empty()) break;
        skip_blanks(parentheses > 0);
        if (!next_is('.')) break;
        ++cursor_;
        skip_blanks(parentheses > 0);
    }
    while (parentheses > 0 && next_is(')')) {
        --parentheses;
        ++cursor_;
        skip_blanks(parentheses > 0);
    }
    bool matches = parentheses == 0 && !last_name.empty() && next_is(':') && !byte_after_is('=');
    if (matches) {
        std::string name;
        append_identifier(name, last_name);
        matches = name == "TYPE_CHECKING";
    }
    if (!matches) {
        cursor_ = resume_at;
        line_ = resume_line;
        return false;
    }
    ++cursor_;
    type_checking_columns_.push_back(column);
    return true;
}

std::string_view Scanner::read_identifier() noexcept {
    if (cursor_ == end_ || !is_name_start(*cursor_)) return {};
    const char* const start = cursor_;
    ++cursor_;
    while (cursor_ != end_ && is_name_byte(*cursor_))
        ++cursor_;
    return {start, static_cast<std::size_t>(cursor_ - start)};
}

void Scanner::append_identifier(std::string& out, std::string_view identifier) {
    if (normalize_ && holds_non_ascii(identifier) &&
        text::find_invalid_utf8(identifier) == std::string_view::npos) {
        out.append(normalize_(identifier));
    } else {
        out.append(identifier);
    }
}

bool Scanner::read_name(std::string& out) {
    const std::string_view identifier = read_identifier();
    if (identifier.empty()) return false;
    append_identifier(out, identifier);
    return true;
}

// name ("." name)*, with blanks allowed around the dots; `out` gets the names joined by dots.
bool Scanner::read_dotted_name(std::string& out) {
    if (!read_ascii_dotted_span(out) && !read_name(out)) return false;
    for (;;) {
        skip_blanks(false);
        if (!next_is('.')) return true;
        ++cursor_;
        skip_blanks(false);
        out.push_back('.');
        if (!read_name(out)) return false;
    }
}

// Most dotted names are ASCII, without blanks around their dots: such a name, or the part of it
// up to the first blank, is read as one span and appended at once. Returns false, having read
// nothing, when the name does not start so or runs into a byte beyond ASCII, which may continue
// an identifier (and needs the interpreter's normalisation).
bool Scanner::read_ascii_dotted_span(std::string& out) {
    const auto ascii_name_byte = [](char byte) {
        return static_cast<unsigned char>(byte) < 0x80 && is_name_byte(byte);
    };
    const auto ascii_name_start = [&](const char* at) {
        return at != end_ && static_cast<unsigned char>(*at) < 0x80 && is_name_start(*at);
    };
    if (!ascii_name_start(cursor_)) return false;
    const char* at = cursor_ + 1;
    for (;;) {
        while (at != end_ && ascii_name_byte(*at))
            ++at;
        // A dot continues the span only before the start of another name.
        if (at == end_ || *at != '.' || !ascii_name_start(at + 1)) break;
        at += 2;
    }
    if (at != end_ && static_cast<unsigned char>(*at) >= 0x80) return false;
    out.append(cursor_, at);
    cursor_ = at;
    return true;
}

// After an imported name and its blanks: reads "as <name>" when it follows. Returns false when
// the statement breaks off there.
bool Scanner::read_alias_tail(Alias& alias, bool inside_brackets) {
    if (!keyword_at("as")) return true;
    cursor_ += 2;
    skip_blanks(inside_brackets);
    std::string asname;
    if (!read_name(asname)) return false;
    alias.asname = std::move(asname);
    skip_blanks(inside_brackets);
    return true;
}

void Scanner::emit(ImportStmt statement, std::size_t line) {
    constexpr std::size_t last_line = std::numeric_limits<std::uint32_t>::max();
    if (records_.empty()) records_.reserve(16);
    records_.emplace_back(std::move(statement),
                          static_cast<std::uint32_t>(std::min(line, last_line)),
                          !type_checking_columns_.empty());
}

// At `import`. A statement that breaks off keeps the names read before the break, and the scan
// goes on from there as code.
void Scanner::read_import() {
    const std::size_t line = line_;
    cursor_ += 6;
    Import record;
    for (;;) {
        skip_blanks(false);
        Alias alias;
        if (!read_dotted_name(alias.name)) break;
        const bool complete = read_alias_tail(alias, false);
        record.names.push_back(std::move(alias));
        if (!complete || !next_is(',')) break;
        ++cursor_;
    }
    if (!record.names.empty()) emit(std::move(record), line);
}

// At `from`.
void Scanner::read_import_from() {
    const std::size_t line = line_;
    cursor_ += 4;
    ImportFrom record;
    std::size_t level = 0;
    skip_blanks(false);
    while (next_is('.')) {  // "..." is one token to the lexer, but three levels all the same
        ++level;
        ++cursor_;
        skip_blanks(false);
    }
    std::string module;
    if (!keyword_at("import") && !read_dotted_name(module)) return;
    if (!keyword_at("import") || (level == 0 && module.empty())) return;
    cursor_ += 6;
    record.level = level;
    record.module = std::move(module);
    skip_blanks(false);
    if (next_is('*')) {
        ++cursor_;
        record.names.push_back(Alias{"*", std::nullopt});
        emit(std::move(record), line);
        return;
    }
    const bool parenthesized = next_is('(');
    // Room for the names of most statements at once, rather than growing name by name.
    record.names.reserve(4);
    if (parenthesized) {
        ++cursor_;
        skip_blanks(true);
    }
    for (;;) {
        Alias alias;
        if (!read_name(alias.name)) break;
        skip_blanks(parenthesized);
        const bool complete = read_alias_tail(alias, parenthesized);
        record.names.push_back(std::move(alias));
        if (!complete || !next_is(',')) break;
        ++cursor_;
        skip_blanks(parenthesized);
    }
    if (parenthesized) {
        if (next_is(')')) {
            ++cursor_;
        } else {
            depth_ = 1;  // broken off inside the parentheses: the code scan finds their end
        }
    }
    if (!record.names.empty()) emit(std::move(record), line);
}

bool Scanner::word_at(std::size_t index, std::string_view word) const noexcept {
    if (size() - index < word.size()) return false;
    // Keywords are a few bytes long: a loop beats a call to memcmp.
    for (std::size_t offset = 0; offset < word.size(); ++offset) {
        if (begin_[index + offset] != word[offset]) return false;
    }
    return size() - index == word.size() || !is_name_byte(begin_[index + word.size()]);
}

inline std::size_t Scanner::spaces_at(std::size_t index) const noexcept {
    return count_spaces(begin_ + index, end_);
}

// Whether the logical line that begins at `next` needs begin_logical_line: it may begin an import
// or a type-checking header, its indentation holds more than spaces, or it may close an open
// type-checking block. Most lines need none of it.
inline bool Scanner::needs_line_start(std::size_t next) const noexcept {
    using Interesting = ByteSet<'i', 'f', 'e', '\\', '\t', '\f'>;
    if (!type_checking_columns_.empty()) return true;
    const std::size_t first = next + spaces_at(next);
    if (first == size() || !Interesting::contains(begin_[first])) return false;
    switch (begin_[first]) {
        case 'i':
            return word_at(first, "import") || word_at(first, "if");
        case 'f':
            return word_at(first, "from");
        case 'e':
            return word_at(first, "elif");
        default:
            return true;
    }
}

// Whether the statement after a ";" or ":" at `next` may be an import.
inline bool Scanner::needs_statement_start(std::size_t next) const noexcept {
    using Interesting = ByteSet<'i', 'f', '\\', '\t', '\f'>;
    const std::size_t first = next + spaces_at(next);
    if (first == size() || !Interesting::contains(begin_[first])) return false;
    switch (begin_[first]) {
        case 'i':
            return word_at(first, "import");
        case 'f':
            return word_at(first, "from");
        default:
            return true;
    }
}

// Walks the code from the cursor to the end of the text, a window of 64 bytes at a time. Brackets
// are counted in bulk between events; an event is a line end or a separator (which matter only
// outside brackets), or the start of a string, a comment or a continuation, which is read past by
// its own routine. Where a line or a statement may begin an import, the cursor is handed to
// begin_logical_line or begin_statement.
//
// Every ":" outside brackets ends a statement here, also that of a lambda or an annotation: what
// follows those is an expression, which never begins with `import` or `from`, so treating it as
// a statement start finds nothing that is not there. Depth below zero (a stray closing bracket)
// counts as zero, and a line end outside brackets sets it back to zero.
template <bool kAvx2>
inline void Scanner::walk_code_with() {
    std::size_t position = this->position();
    std::ptrdiff_t depth = static_cast<std::ptrdiff_t>(depth_);
    load_window<kAvx2>(position);
    for (;;) {
        if (position - window_start_ >= 64) {  // also when before the window: it wraps
            if (position >= size()) break;
            load_window<kAvx2>(position);
        }
        const std::uint64_t ahead = ~std::uint64_t{0} << (position - window_start_);
        const std::uint64_t events = window_.events & ahead;
        // The bytes from the position up to the next event, or to the end of the window.
        const std::uint64_t passed = ahead & ((events & (~events + 1)) - 1);
        depth += std::popcount(window_.opens & passed) - std::popcount(window_.closes & passed);
        if (events == 0) {
            position = window_start_ + 64;
            continue;
        }
        const std::size_t at = window_start_ + static_cast<std::size_t>(std::countr_zero(events));
        const char byte = begin_[at];
        position = at + 1;
        if (byte == '\n' || (byte == '\r' && !byte_at_is(position, '\n'))) {
            ++line_;
            if (depth > 0) continue;
            depth = 0;
            if (!needs_line_start(position)) continue;
            cursor_ = begin_ + position;
            depth_ = 0;
            begin_logical_line();
        } else if (byte == ';' || byte == ':') {
            if (depth > 0 || (byte == ':' && byte_at_is(position, '='))) continue;
            depth = 0;
            if (!needs_statement_start(position)) continue;
            cursor_ = begin_ + position;
            begin_statement();
        } else if (byte == '\r') {
            continue;  // the "\n" after it ends the line
        } else {
            cursor_ = begin_ + at;
            depth_ = static_cast<std::size_t>(std::max<std::ptrdiff_t>(depth, 0));
            if (byte == '#') {
                skip_to<CommentStops>();
            } else if (byte == '\\') {
                consume_backslash();
            } else {
                skip_string();
            }
        }
        position = this->position();
        depth = static_cast<std::ptrdiff_t>(depth_);
    }
    cursor_ = end_;
}

void Scanner::walk_code() {
#if defined(MODWEAVE_AVX2_MASKS)
    if (has_avx2_masks()) {
        walk_code_avx2();
        return;
    }
#endif
    walk_code_portable();
}

MODWEAVE_POPCOUNT_CLONES void Scanner::walk_code_portable() {
    walk_code_with<false>();
}

#if defined(MODWEAVE_AVX2_MASKS)
[[gnu::target("avx2,popcnt")]] void Scanner::walk_code_avx2() {
    walk_code_with<true>();
}
#endif

// The prefix of the string whose opening quote is at `quote`: up to two letters directly before
// it, which must not be the end of a longer name.
StringKind Scanner::kind_of_string_at(const char* quote) const noexcept {
    const char* start = quote;
    while (start != begin_ && quote - start <= 2 && is_ascii_letter(start[-1]))
        --start;
    if (start != begin_ && is_name_byte(start[-1])) return {};
    return kind_of_prefix({start, static_cast<std::size_t>(quote - start)});
}

void Scanner::skip_string() noexcept {
    const StringKind kind = kind_of_string_at(cursor_);
    if (kind.formatted) {
        skip_formatted_string(kind.raw);
    } else {
        skip_plain_string();
    }
}

// At the opening quote of a string that is not an f-string. A backslash keeps the byte after it
// from ending the string, raw or not. A single-quoted string that meets a line end is cut there.
void Scanner::skip_plain_string() noexcept {
    if (*cursor_ == '"') {
        skip_plain_string<'"'>();
    } else {
        skip_plain_string<'\''>();
    }
}

template <char quote>
void Scanner::skip_plain_string() noexcept {
    const bool triple_quoted = end_ - cursor_ >= 3 && cursor_[1] == quote && cursor_[2] == quote;
    cursor_ += triple_quoted ? 3 : 1;
    for (;;) {
        skip_to<StringStops<quote>>();
        if (at_end()) return;
        const char byte = *cursor_;
        if (byte == quote) {
            if (!triple_quoted) {
                ++cursor_;
                return;
            }
            if (end_ - cursor_ >= 3 && cursor_[1] == quote && cursor_[2] == quote) {
                cursor_ += 3;
                return;
            }
            ++cursor_;
        } else if (byte == '\\') {
            ++cursor_;
            if (at_end()) return;
            if (is_line_end(*cursor_)) {
                consume_line_end();
            } else {
                ++cursor_;
            }
        } else {
            if (!triple_quoted) return;
            consume_line_end();
        }
    }
}

void Scanner::push_fstring(bool raw) noexcept {
    const char quote = *cursor_;
    const bool triple_quoted = end_ - cursor_ >= 3 && cursor_[1] == quote && cursor_[2] == quote;
    cursor_ += triple_quoted ? 3 : 1;
    fstrings_.push_back(FStringFrame{quote, triple_quoted, raw});
}

// At the opening quote of an f-string: reads to the end of it, through every replacement field,
// nested string and nested f-string, with a stack of frames instead of recursion.
void Scanner::skip_formatted_string(bool raw) noexcept {
    fstrings_.clear();
    push_fstring(raw);
    while (!fstrings_.empty()) {
        if (at_end()) {
            fstrings_.clear();
            return;
        }
        if (fstrings_.back().in_literal) {
            scan_fstring_literal();
        } else {
            scan_fstring_expression();
        }
    }
}

// Literal text of the innermost f-string, or a format spec. Returns when the f-string ends (its
// frame popped), a replacement field opens, or the text ends.
void Scanner::scan_fstring_literal() noexcept {
    if (fstrings_.back().quote == '"') {
        scan_fstring_literal<'"'>();
    } else {
        scan_fstring_literal<'\''>();
    }
}

template <char quote>
void Scanner::scan_fstring_literal() noexcept {
    FStringFrame& frame = fstrings_.back();
    // After "\N{", the next "}" closes the character name, not a field.
    bool in_character_name = false;
    for (;;) {
        skip_to<FStringStops<quote>>();
        if (at_end()) return;
        const char byte = *cursor_;
        if (byte == quote) {
            if (!frame.triple_quoted) {
                ++cursor_;
                fstrings_.pop_back();
                return;
            }
            if (end_ - cursor_ >= 3 && cursor_[1] == quote && cursor_[2] == quote) {
                cursor_ += 3;
                fstrings_.pop_back();
                return;
            }
            ++cursor_;
        } else if (byte == '{') {
            // "{{" is a literal brace, except in a format spec, where every "{" opens a field.
            if (frame.open_fields == 0 && byte_after_is('{')) {
                cursor_ += 2;
                in_character_name = false;
                continue;
            }
            ++cursor_;
            ++frame.open_fields;
            ++frame.bracket_depth;
            frame.in_literal = false;
            return;
        } else if (byte == '}') {
            if (in_character_name) {
                ++cursor_;
                in_character_name = false;
                continue;
            }
            if (frame.open_fields == 0) {
                // "}}" is a literal brace; a single one is an error, read as text.
                cursor_ += byte_after_is('}') ? 2 : 1;
                continue;
            }
            // The end of the field whose format spec this is.
            ++cursor_;
            --frame.bracket_depth;
            if (frame.bracket_depth + 1 == frame.open_fields) {
                --frame.open_fields;
            } else {
                frame.in_literal = false;
                return;
            }
        } else if (byte == '\\') {
            ++cursor_;
            if (at_end()) return;
            const char escaped = *cursor_;
            if (is_line_end(escaped)) {
                consume_line_end();
            } else if (escaped == '{' || escaped == '}') {
                // A backslash does not keep a brace from opening or closing a field.
            } else if (!frame.raw && escaped == 'N') {
                ++cursor_;
                if (next_is('{')) {
                    ++cursor_;
                    in_character_name = true;
                }
            } else {
                ++cursor_;
            }
        } else {  // a line end
            if (!frame.triple_quoted) {
                fstrings_.pop_back();  // unterminated: the line end is left to the code
                return;
            }
            consume_line_end();
        }
    }
}

// The expression of a replacement field of the innermost f-string. Returns when the field ends,
// its format spec begins, a nested f-string opens, or the text ends.
void Scanner::scan_fstring_expression() noexcept {
    FStringFrame& frame = fstrings_.back();
    for (;;) {
        skip_to<CodeStops>();
        if (at_end()) return;
        switch (*cursor_) {
            case '\n':
            case '\r':
                consume_line_end();
                break;
            case '#':
                skip_to<CommentStops>();
                break;
            case '\\':
                consume_backslash();
                break;
            case '(':
            case '[':
            case '{':
                ++frame.bracket_depth;
                ++cursor_;
                break;
            case ')':
            case ']':
                if (frame.bracket_depth > frame.open_fields) --frame.bracket_depth;
                ++cursor_;
                break;
            case '}':
                ++cursor_;
                if (frame.bracket_depth > 0) --frame.bracket_depth;
                if (frame.bracket_depth < frame.open_fields) {
                    frame.open_fields = frame.bracket_depth;
                    frame.in_literal = true;
                    return;
                }
                break;
            case ':':
                ++cursor_;
                // At the top of the field, even ":=" begins the format spec.
                if (frame.bracket_depth == frame.open_fields) {
                    frame.in_literal = true;
                    return;
                }
                break;
            case ';':
                ++cursor_;
                break;
            default: {  // a quote
                const StringKind kind = kind_of_string_at(cursor_);
                if (kind.formatted) {
                    push_fstring(kind.raw);  // `frame` may move: return before touching it
                    return;
                }
                skip_plain_string();
                break;
            }
        }
    }
}

}  // namespace

std::vector<ScannedImport> scan(std::string_view source, const IdentifierNormalizer& normalize) {
    return Scanner(source, normalize).run();
}

}  // namespace modweave::scanner
