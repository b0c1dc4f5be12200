// The parse result: one flat token list holding the tree in pre-order, and read-only views over
// it. A node is a start entry and its end entry; the entries between them are its descendants, so
// a sibling is reached by jumping past an end entry and backtracking is a plain truncation.
#pragma once

#include <cstddef>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "minimal_parser/rule.hpp"

namespace modweave::minimal_parser {

struct Token {
    std::size_t partner;   // start entry: index of its end entry; end entry: index of its start
    std::size_t position;  // byte offset where the node begins (start) or ends (end)
    Rule rule;             // meaningful on end entries only; start entries learn it at the end
    bool is_start;
};

class TokenList {
public:
    std::size_t size() const noexcept { return tokens_.size(); }
    const Token& operator[](std::size_t index) const noexcept { return tokens_[index]; }
    void reserve(std::size_t count) { tokens_.reserve(count); }

    // Opens a node whose end is not known yet; returns the index to close it with.
    std::size_t open(std::size_t position) {
        tokens_.push_back(Token{0, position, Rule::EOI, true});
        return tokens_.size() - 1;
    }

    void close(std::size_t start_index, Rule rule, std::size_t position) {
        tokens_[start_index].partner = tokens_.size();
        tokens_.push_back(Token{start_index, position, rule, false});
    }

    // Drops every entry from `length` on: how a failed attempt removes the nodes it made.
    void truncate(std::size_t length) noexcept {
        if (length < tokens_.size()) tokens_.resize(length);
    }

    const std::vector<Token>& entries() const noexcept { return tokens_; }

private:
    std::vector<Token> tokens_;
};

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

    Rule rule() const noexcept { return end_token().rule; }
    std::size_t start() const noexcept { return start_token().position; }
    std::size_t end() const noexcept { return end_token().position; }
    std::string_view text() const noexcept { return tree_->text.substr(start(), end() - start()); }
    Pairs children() const;

    // The index of the node's start entry in the token list.
    std::size_t token_index() const noexcept { return start_index_; }

    // Rule, span with its text, and children, for failure messages and test output.
    std::string describe() const;

    bool operator==(const Pair& other) const noexcept {
        return tree_ == other.tree_ && start_index_ == other.start_index_;
    }

private:
    const Token& start_token() const noexcept { return tree_->tokens[start_index_]; }
    const Token& end_token() const noexcept { return tree_->tokens[start_token().partner]; }

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
                              : tree_->tokens[index_].partner + 1;
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
        return iterator(tree_, flatten_ ? next_start(*tree_, begin_, end_) : begin_, end_, flatten_);
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
        while (index < end && !tree.tokens[index].is_start) ++index;
        return index;
    }

    std::shared_ptr<const ParseTree> tree_;
    std::size_t begin_;
    std::size_t end_;
    bool flatten_ = false;
};

inline Pairs Pair::children() const {
    return Pairs(tree_, start_index_ + 1, start_token().partner);
}

}  // namespace modweave::minimal_parser
