// The per-target cache of the logging bridge: for each target, the logger that serves it and the
// most verbose level that logger accepted when it was first used.
//
// Concurrency rule: a published tree is never changed. Readers load the root once (an acquire
// load of the atomic shared pointer) and keep it alive through that reference for as long as they
// walk it; they take no lock. A writer copies the path to its target into a new root and
// publishes it with one compare-and-swap against the root it copied; when another writer got
// there first the store is dropped, not retried, and a later record for that target stores again.
// Entries are shared between successive roots, so copying a path never copies a logger.
#pragma once

#include <atomic>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "logging_bridge/log.hpp"
#include "text/string_hash.hpp"

namespace modweave::logging_bridge {

// Calls `visit` for each "::"-separated segment of `target`; an empty target has no segments.
template <class Visit>
void for_each_segment(std::string_view target, Visit&& visit) {
    if (target.empty()) return;
    for (;;) {
        std::size_t separator = target.find("::");
        visit(target.substr(0, separator));
        if (separator == std::string_view::npos) return;
        target.remove_prefix(separator + 2);
    }
}

// The dotted Python logger name of a target: "a::b::c" becomes "a.b.c".
std::string logger_name(std::string_view target);

template <class Logger>
class LoggerCache {
public:
    struct Entry {
        Logger logger;
        LevelFilter filter;
    };

    struct Node {
        std::shared_ptr<const Entry>
            entry;  // absent until a record of this exact target stored one
        std::unordered_map<std::string, std::shared_ptr<const Node>, text::TransparentStringHash,
                           std::equal_to<>>
            children;
    };

    using Root = std::shared_ptr<const Node>;

    LoggerCache() : root_(std::make_shared<const Node>()) {}

    Root load() const noexcept { return root_.load(std::memory_order_acquire); }

    // The node of `target` under `root`, or null when a segment has no child.
    static const Node* find(const Node& root, std::string_view target) {
        const Node* node = &root;
        for_each_segment(target, [&](std::string_view segment) {
            if (node == nullptr) return;
            auto child = node->children.find(segment);
            node = child == node->children.end() ? nullptr : child->second.get();
        });
        return node;
    }

    // The filter cached for a target: its entry's, or Trace (everything passes) when there is none.
    static LevelFilter cached_filter(const Node* node) noexcept {
        return node != nullptr && node->entry ? node->entry->filter : LevelFilter::Trace;
    }

    // Publishes (logger, filter) for `target` on a copy of the current root. Returns false when a
    // concurrent store replaced the root first; the store is then dropped.
    bool store(std::string_view target, Logger logger, LevelFilter filter) {
        return store_onto(load(), target, std::move(logger), filter);
    }

    // As store(), but built from `base`, which must be a root this cache published.
    bool store_onto(Root base, std::string_view target, Logger logger, LevelFilter filter) {
        auto entry = std::make_shared<const Entry>(Entry{std::move(logger), filter});
        std::vector<std::string_view> segments;
        for_each_segment(target, [&](std::string_view segment) { segments.push_back(segment); });
        Root replacement = with_entry(base.get(), segments, std::move(entry));
        return root_.compare_exchange_strong(base, std::move(replacement),
                                             std::memory_order_acq_rel, std::memory_order_acquire);
    }

    // Replaces the whole tree by an empty root.
    void reset() { root_.store(std::make_shared<const Node>(), std::memory_order_release); }

private:
    // A copy of the path from `node` down through `segments`, with the last node's entry
    // replaced; everything off the path is shared with the old tree.
    static std::shared_ptr<const Node> with_entry(const Node* node,
                                                  std::span<const std::string_view> segments,
                                                  std::shared_ptr<const Entry> entry) {
        auto copy = node != nullptr ? std::make_shared<Node>(*node) : std::make_shared<Node>();
        if (segments.empty()) {
            copy->entry = std::move(entry);
            return copy;
        }
        auto child = copy->children.find(segments.front());
        const Node* old_child = child == copy->children.end() ? nullptr : child->second.get();
        auto new_child = with_entry(old_child, segments.subspan(1), std::move(entry));
        if (child == copy->children.end()) {
            copy->children.emplace(std::string(segments.front()), std::move(new_child));
        } else {
            child->second = std::move(new_child);
        }
        return copy;
    }

    std::atomic<std::shared_ptr<const Node>> root_;
};

}  // namespace modweave::logging_bridge
