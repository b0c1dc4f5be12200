// The import sets of graph nodes: module names in one array, in the order they were added. A graph
// keeps two such sets per node, most of them a handful of names long, and adds to them once per
// edge; a node-based hash set made two allocations per name and scattered the names over memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/string_hash.hpp"

namespace modweave::core {

class ImportSet {
public:
    using value_type = std::string;
    using size_type = std::size_t;
    using const_iterator = std::vector<std::string>::const_iterator;
    using iterator = const_iterator;

    ImportSet() = default;
    ImportSet(std::initializer_list<std::string> names) {
        for (const std::string& name : names)
            insert(name);
    }

    // Adds `name` unless the set holds it; iterators are not kept valid.
    std::pair<iterator, bool> insert(std::string_view name) { return add(name); }
    std::pair<iterator, bool> insert(std::string&& name) { return add(std::move(name)); }
    std::pair<iterator, bool> insert(const std::string& name) { return add(name); }
    std::pair<iterator, bool> insert(const char* name) { return add(std::string_view(name)); }
    template <class Name>
    std::pair<iterator, bool> emplace(Name&& name) {
        return insert(std::forward<Name>(name));
    }

    bool contains(std::string_view name) const { return position(name) != kNone; }
    size_type count(std::string_view name) const { return contains(name) ? 1 : 0; }
    iterator find(std::string_view name) const {
        const std::size_t at = position(name);
        return at == kNone ? end() : begin() + static_cast<std::ptrdiff_t>(at);
    }

    size_type erase(std::string_view name) {
        const std::size_t at = position(name);
        if (at == kNone) return 0;
        names_.erase(names_.begin() + static_cast<std::ptrdiff_t>(at));
        reindex();
        return 1;
    }

    template <class Predicate>
    friend size_type erase_if(ImportSet& set, Predicate predicate) {
        const size_type erased = std::erase_if(set.names_, predicate);
        if (erased != 0) set.reindex();
        return erased;
    }

    // Moves in every name of `other` that this set lacks; `other` keeps the others, as
    // std::unordered_set::merge leaves them.
    void merge(ImportSet& other) {
        ImportSet kept;
        for (std::string& name : other.names_) {
            if (contains(name)) {
                kept.add(std::move(name));
            } else {
                add(std::move(name));
            }
        }
        other = std::move(kept);
    }

    void reserve(size_type names) {
        names_.reserve(names);
        if (names > kInOrder) grow_index(names);
    }
    void clear() noexcept {
        names_.clear();
        index_.clear();
    }

    size_type size() const noexcept { return names_.size(); }
    bool empty() const noexcept { return names_.empty(); }
    iterator begin() const noexcept { return names_.begin(); }
    iterator end() const noexcept { return names_.end(); }

    // Equal as sets: the same names, in any order.
    friend bool operator==(const ImportSet& left, const ImportSet& right) {
        if (left.size() != right.size()) return false;
        for (const std::string& name : left.names_) {
            if (!right.contains(name)) return false;
        }
        return true;
    }

private:
    static constexpr std::size_t kNone = ~std::size_t{0};
    // Sets up to this size are searched in order, without an index.
    static constexpr std::size_t kInOrder = 8;

    // A slot of the open index: the low bits of a name's hash, and its place in `names_` plus
    // one; zero marks an empty slot.
    struct Slot {
        std::uint32_t hash = 0;
        std::uint32_t place = 0;
    };

    static std::uint32_t hash_of(std::string_view name) noexcept {
        return static_cast<std::uint32_t>(text::hash_text(name));
    }

    std::size_t position(std::string_view name) const {
        return position(name, index_.empty() ? 0 : hash_of(name));
    }

    // `hash` is the name's hash where the set has an index.
    std::size_t position(std::string_view name, std::uint32_t hash) const {
        if (index_.empty()) {
            for (std::size_t at = 0; at < names_.size(); ++at) {
                if (names_[at] == name) return at;
            }
            return kNone;
        }
        const std::size_t mask = index_.size() - 1;
        for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            const Slot& entry = index_[slot];
            if (entry.place == 0) return kNone;
            if (entry.hash == hash && names_[entry.place - 1] == name) return entry.place - 1;
        }
    }

    template <class Name>
    std::pair<iterator, bool> add(Name&& name) {
        const std::string_view view(name);
        const std::uint32_t hash = index_.empty() ? 0 : hash_of(view);
        const std::size_t at = position(view, hash);
        if (at != kNone) return {begin() + static_cast<std::ptrdiff_t>(at), false};
        // Most sets hold a few names: room for four at once instead of growing by one and two.
        if (names_.capacity() == 0) names_.reserve(4);
        names_.emplace_back(std::forward<Name>(name));
        if (!index_.empty()) {
            grow_index(names_.size());
            place_in_index(hash, names_.size());
        } else if (names_.size() > kInOrder) {
            grow_index(names_.size());
        }
        return {end() - 1, true};
    }

    // An index for at least `names` names, at most half full. Made anew, it holds every name;
    // grown, it holds the names it held, whose hashes it keeps: no name is hashed twice.
    void grow_index(std::size_t names) {
        std::size_t slots = 16;
        while (slots < names * 2)
            slots *= 2;
        if (slots <= index_.size()) return;
        const std::vector<Slot> before = std::exchange(index_, std::vector<Slot>(slots));
        if (before.empty()) {
            for (std::size_t at = 0; at < names_.size(); ++at)
                place_in_index(hash_of(names_[at]), at + 1);
            return;
        }
        for (const Slot& slot : before) {
            if (slot.place != 0) place_in_index(slot.hash, slot.place);
        }
    }

    void place_in_index(std::uint32_t hash, std::size_t place) {
        const std::size_t mask = index_.size() - 1;
        std::size_t slot = hash & mask;
        while (index_[slot].place != 0)
            slot = (slot + 1) & mask;
        index_[slot] = {.hash = hash, .place = static_cast<std::uint32_t>(place)};
    }

    // After names left the array: the index again, if the set still needs one.
    void reindex() {
        index_.clear();
        if (names_.size() > kInOrder) grow_index(names_.size());
    }

    std::vector<std::string> names_;
    std::vector<Slot> index_;  // empty, or a power of two in size and at most half full
};

}  // namespace modweave::core
