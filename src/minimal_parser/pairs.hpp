// The parse result: one flat token list holding the tree in pre-order, and read-only views over
// it. A node is a start entry and its end entry; the entries between them are its descendants, so
// a sibling is reached by jumping past an end entry and backtracking is a plain truncation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "minimal_parser/rule.hpp"

namespace modweave::minimal_parser {

// One entry of the token list, packed into 16 bytes because the list is written for every rule
// attempt. Positions keep 56 bits, far beyond any text that fits in memory.
class Token {
public:
    static Token start(std::size_t position) noexcept {
        return Token(0, position, Rule::EOI, true);
    }
    static Token end(std::size_t start_index, Rule rule, std::size_t position) noexcept {
        return Token(start_index, position, rule, false);
    }

    // Start entry: index of its end entry. End entry: index of its start entry.
    std::size_t partner() const noexcept { return static_cast<std::size_t>(partner_); }
    // Byte offset where the node begins (start entry) or ends (end entry).
    std::size_t position() const noexcept { return static_cast<std::size_t>(packed_ >> 8); }
    // The node's rule; recorded on the end entry only.
    Rule rule() const noexcept { return static_cast<Rule>((packed_ >> 1) & 0x7F); }
    bool is_start() const noexcept { return (packed_ & 1) != 0; }

    void set_partner(std::size_t partner) noexcept { partner_ = partner; }

private:
    Token(std::size_t partner, std::size_t position, Rule rule, bool is_start) noexcept
        : partner_(partner),
          packed_((static_cast<std::uint64_t>(position) << 8) |
                  (static_cast<std::uint64_t>(rule) << 1) | (is_start ? 1u : 0u)) {}

    std::uint64_t partner_;
    std::uint64_t packed_;  // position << 8 | rule << 1 | is_start
};

static_assert(rule_count <= 0x80, "rules must fit in seven bits of a token");

// The flat token list. Appending is the hottest operation of the whole parse, so the storage is
// managed here: the common case is a bounds check and two stores, growth is out of line.
class TokenList {
public:
    TokenList() = default;
    TokenList(TokenList&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    TokenList& operator=(TokenList&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    TokenList(const TokenList&) = delete;
    TokenList& operator=(const TokenList&) = delete;
    ~TokenList() { std::free(data_); }

    std::size_t size() const noexcept { return size_; }
    const Token& operator[](std::size_t index) const noexcept { return data_[index]; }
    const Token* begin() const noexcept { return data_; }
    const Token* end() const noexcept { return data_ + size_; }

    void reserve(std::size_t count) {
        if (count > capacity_) grow_to(count);
    }

    // Opens a node whose end is not known yet; returns the index to close it with.
    [[gnu::always_inline]] std::size_t open(std::size_t position) {
        push(Token::start(position));
        return size_ - 1;
    }

    [[gnu::always_inline]] void close(std::size_t start_index, Rule rule, std::size_t position) {
        data_[start_index].set_partner(size_);
        push(Token::end(start_index, rule, position));
    }

    // Drops every entry from `length` on: how a failed attempt removes the nodes it made.
    void truncate(std::size_t length) noexcept {
        if (length < size_) size_ = length;
    }

private:
    // Takes the entry by value and stores its two words separately: building it on the stack and
    // copying it as one 16-byte block stalls on store forwarding.
    [[gnu::always_inline]] void push(Token token) {
        if (size_ == capacity_) grow_to(capacity_ < 64 ? 64 : capacity_ * 2);
        data_[size_++] = token;
    }

    void grow_to(std::size_t capacity) {
        if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(Token)) {
            throw std::bad_alloc();
        }
        // Token is trivially copyable, so moving the storage with realloc is sound.
        void* grown = std::realloc(static_cast<void*>(data_), capacity * sizeof(Token));
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<Token*>(grown);
        capacity_ = capacity;
    }

    Token* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

static_assert(std::is_trivially_copyable_v<Token>);

// What every view shares. The text is borrowed: the caller keeps the source alive while views
// exist; the token list is owned here.
struct ParseTree {
    std::string_view text;
    TokenList tokens;
};

class Pairs;

// One node of the result.
class Pair {
public:
    Pair(std::shared_ptr<const ParseTree> tree, std::size_t start_index)
        : tree_(std::move(tree)), start_index_(start_index) {}

    Rule rule() const noexcept { return end_token().rule(); }
    std::size_t start() const noexcept { return start_token().position(); }
    std::size_t end() const noexcept { return end_token().position(); }
    std::string_view text() const noexcept { return tree_->text.substr(start(), end() - start()); }
    Pairs children() const;

    // Rule, span with its text, and children, for failure messages and test output.
    std::string describe() const;

    bool operator==(const Pair& other) const noexcept {
        return tree_ == other.tree_ && start_index_ == other.start_index_;
    }

private:
    const Token& start_token() const noexcept { return tree_->tokens[start_index_]; }
    const Token& end_token() const noexcept { return tree_->tokens[start_token().partner()]; }

    std::shared_ptr<const ParseTree> tree_;
    std::size_t start_index_;
};

// A run of sibling nodes: the token range [begin, end) whose entries are whole nodes.
class Pairs {
public:
    // Holds its own share of the tree, so it stays valid after the Pairs it came from is gone.
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Pair;
        using difference_type = std::ptrdiff_t;

        iterator() = default;
        Pair operator*() const { return Pair(tree_, index_); }
        iterator& operator++() {
            index_ = flatten_ ? next_start(*tree_, index_ + 1, end_)
                              : tree_->tokens[index_].partner() + 1;
            return *this;
        }
        iterator operator++(int) {
            iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const iterator& other) const noexcept { return index_ == other.index_; }

    private:
        friend class Pairs;
        iterator(std::shared_ptr<const ParseTree> tree, std::size_t index, std::size_t end,
                 bool flatten)
            : tree_(std::move(tree)), index_(index), end_(end), flatten_(flatten) {}

        std::shared_ptr<const ParseTree> tree_;
        std::size_t index_ = 0;
        std::size_t end_ = 0;
        bool flatten_ = false;
    };

    Pairs(std::shared_ptr<const ParseTree> tree, std::size_t begin, std::size_t end)
        : tree_(std::move(tree)), begin_(begin), end_(end) {}

    iterator begin() const {
        return iterator(tree_, flatten_ ? next_start(*tree_, begin_, end_) : begin_, end_,
                        flatten_);
    }
    iterator end() const { return iterator(tree_, end_, end_, flatten_); }
    bool empty() const noexcept { return begin_ == end_; }
    // Number of siblings (not of all descendants); linear in the number of siblings.
    std::size_t count() const;

    // The same range iterated over every node, descendants included, in pre-order.
    Pairs flatten() const {
        Pairs flat = *this;
        flat.flatten_ = true;
        return flat;
    }

    std::string_view text() const noexcept { return tree_->text; }
    const ParseTree& tree() const noexcept { return *tree_; }
    // The node whose start entry is at `token_index` of the shared token list.
    Pair node_at(std::size_t token_index) const { return Pair(tree_, token_index); }
    std::string describe() const;

private:
    // First start entry in [index, end), or end.
    static std::size_t next_start(const ParseTree& tree, std::size_t index,
                                  std::size_t end) noexcept {
        while (index < end && !tree.tokens[index].is_start())
            ++index;
        return index;
    }

    std::shared_ptr<const ParseTree> tree_;
    std::size_t begin_;
    std::size_t end_;
    bool flatten_ = false;
};

inline Pairs Pair::children() const {
    return Pairs(tree_, start_index_ + 1, start_token().partner());
}

}  // namespace modweave::minimal_parser
