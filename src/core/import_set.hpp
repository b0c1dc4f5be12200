// The import sets of graph nodes: module names packed one after another in a single buffer, in
// the order they were added. A graph keeps two such sets per node, most of them a handful of
// names long, and adds to them once per edge; a node-based hash set made two allocations per
// name and scattered the names over memory, and an array of strings still made one for every
// name too long to keep inside its string. Packed, a set makes one allocation while it is small,
// copies in one, and is read front to back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/string_hash.hpp"

namespace modweave::core {

class ImportSet {
public:
    // Walks the names in the order they were added, giving each as a view into the set.
    class iterator {
    public:
        using value_type = std::string_view;
        using reference = std::string_view;
        using pointer = void;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::forward_iterator_tag;

        iterator() = default;
        std::string_view operator*() const noexcept { return {at_ + kLengthBytes, length_at(at_)}; }
        iterator& operator++() noexcept {
            at_ += kLengthBytes + length_at(at_);
            return *this;
        }
        iterator operator++(int) noexcept {
            const iterator before = *this;
            ++*this;
            return before;
        }
        friend bool operator==(iterator, iterator) = default;

    private:
        friend class ImportSet;
        explicit iterator(const char* at) noexcept : at_(at) {}
        const char* at_ = nullptr;
    };
    using const_iterator = iterator;
    using value_type = std::string_view;
    using size_type = std::size_t;

    ImportSet() = default;
    ImportSet(std::initializer_list<std::string_view> names) {
        for (const std::string_view name : names)
            insert(name);
    }
    // A copy takes the bytes its names need, in one allocation.
    ImportSet(const ImportSet& other)
        : bytes_(other.used_ == 0 ? nullptr : std::make_unique_for_overwrite<char[]>(other.used_)),
          used_(other.used_),
          capacity_(other.used_),
          size_(other.size_),
          index_(other.index_) {
        if (used_ != 0) std::memcpy(bytes_.get(), other.bytes_.get(), used_);
    }
    ImportSet(ImportSet&& other) noexcept
        : bytes_(std::move(other.bytes_)),
          used_(std::exchange(other.used_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          size_(std::exchange(other.size_, 0)),
          index_(std::move(other.index_)) {
        other.index_.clear();
    }
    ImportSet& operator=(const ImportSet& other) {
        if (this != &other) *this = ImportSet(other);
        return *this;
    }
    ImportSet& operator=(ImportSet&& other) noexcept {
        if (this != &other) {
            bytes_ = std::move(other.bytes_);
            used_ = std::exchange(other.used_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
            size_ = std::exchange(other.size_, 0);
            index_ = std::move(other.index_);
            other.index_.clear();
        }
        return *this;
    }
    ~ImportSet() = default;

    // Adds `name` unless the set holds it; iterators and views are not kept valid.
    std::pair<iterator, bool> insert(std::string_view name);
    // insert for a name the caller knows the set lacks: it is not looked for first.
    iterator insert_absent(std::string_view name) {
        return add(name, index_.empty() ? 0 : hash_of(name));
    }
    template <class Name>
    std::pair<iterator, bool> emplace(const Name& name) {
        return insert(std::string_view(name));
    }

    bool contains(std::string_view name) const { return position(name) != kNone; }
    size_type count(std::string_view name) const { return contains(name) ? 1 : 0; }
    iterator find(std::string_view name) const {
        const std::size_t at = position(name);
        return at == kNone ? end() : iterator(bytes_.get() + at);
    }

    size_type erase(std::string_view name) {
        return erase_if(*this, [name](std::string_view held) { return held == name; });
    }

    // Drops every name the predicate, called with a view of it, accepts; the others move down
    // over them in place.
    template <class Predicate>
    friend size_type erase_if(ImportSet& set, Predicate predicate) {
        char* const first = set.bytes_.get();
        const char* const last = first + set.used_;
        char* kept = first;
        size_type erased = 0;
        for (const char* at = first; at != last;) {
            const std::size_t length = length_at(at);
            const std::size_t bytes = kLengthBytes + length;
            if (predicate(std::string_view(at + kLengthBytes, length))) {
                ++erased;
            } else {
                if (kept != at) std::memmove(kept, at, bytes);
                kept += bytes;
            }
            at += bytes;
        }
        if (erased != 0) {
            set.used_ = static_cast<std::uint32_t>(kept - first);
            set.size_ -= static_cast<std::uint32_t>(erased);
            set.reindex();
        }
        return erased;
    }

    // Moves in every name of `other` that this set lacks; `other` keeps the others, as
    // std::unordered_set::merge leaves them.
    void merge(ImportSet& other) {
        if (&other == this) return;
        ImportSet kept;
        for (const std::string_view name : other) {
            if (!insert(name).second) kept.insert(name);
        }
        other = std::move(kept);
    }

    void clear() noexcept {
        used_ = 0;
        size_ = 0;
        index_.clear();
    }

    size_type size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    iterator begin() const noexcept { return iterator(bytes_.get()); }
    iterator end() const noexcept { return iterator(bytes_.get() + used_); }

    // Equal as sets: the same names, in any order.
    friend bool operator==(const ImportSet& left, const ImportSet& right) {
        if (left.size() != right.size()) return false;
        for (const std::string_view name : left) {
            if (!right.contains(name)) return false;
        }
        return true;
    }

private:
    // Each name is stored as its length in four bytes, then its bytes.
    static constexpr std::size_t kLengthBytes = sizeof(std::uint32_t);
    static constexpr std::size_t kNone = ~std::size_t{0};
    // Sets up to this size are searched in order, without an index.
    static constexpr std::size_t kInOrder = 8;
    // Room a set takes when it gets its first name: a few names' worth.
    static constexpr std::size_t kFirstBytes = 96;
    static constexpr std::size_t kMaxBytes = UINT32_MAX - 1;

    // A slot of the open index: the low bits of a name's hash, and where the name starts in
    // `bytes_` plus one; zero marks an empty slot.
    struct Slot {
        std::uint32_t hash = 0;
        std::uint32_t place = 0;
    };

    static std::uint32_t hash_of(std::string_view name) noexcept {
        return static_cast<std::uint32_t>(text::hash_text(name));
    }

    static std::size_t length_at(const char* at) noexcept {
        std::uint32_t length = 0;
        std::memcpy(&length, at, kLengthBytes);
        return length;
    }

    std::string_view name_at(std::size_t at) const noexcept { return *iterator(bytes_.get() + at); }

    std::size_t position(std::string_view name) const {
        return position(name, index_.empty() ? 0 : hash_of(name));
    }

    // Where `name` starts in `bytes_`; `hash` is its hash where the set has an index.
    std::size_t position(std::string_view name, std::uint32_t hash) const {
        if (index_.empty()) {
            const char* const first = bytes_.get();
            const char* const last = first + used_;
            for (const char* at = first; at != last;) {
                const std::size_t length = length_at(at);
                if (length == name.size() &&
                    std::memcmp(at + kLengthBytes, name.data(), length) == 0) {
                    return static_cast<std::size_t>(at - first);
                }
                at += kLengthBytes + length;
            }
            return kNone;
        }
        const std::size_t mask = index_.size() - 1;
        for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            const Slot& entry = index_[slot];
            if (entry.place == 0) return kNone;
            if (entry.hash == hash && name_at(entry.place - 1) == name) return entry.place - 1;
        }
    }

    // Stores `name`, which the set lacks, after the others and in the index; `hash` is its hash
    // where the set has an index.
    iterator add(std::string_view name, std::uint32_t hash);

    // Stores `name` after the others, with no check and no index; returns where it starts.
    std::size_t append(std::string_view name) {
        const std::size_t at = used_;
        const std::size_t needed = at + kLengthBytes + name.size();
        if (needed > capacity_) {
            // A part of a name held here (a parent package, say) would move with the buffer.
            const std::less<const char*> before;
            if (used_ != 0 && !before(name.data(), bytes_.get()) &&
                before(name.data(), bytes_.get() + used_)) {
                const std::string copy(name);
                return append(copy);
            }
            grow(needed);
        }
        const auto length = static_cast<std::uint32_t>(name.size());
        std::memcpy(bytes_.get() + at, &length, kLengthBytes);
        std::memcpy(bytes_.get() + at + kLengthBytes, name.data(), name.size());
        used_ = static_cast<std::uint32_t>(needed);
        ++size_;
        return at;
    }

    // Room for at least `needed` bytes: a few names' worth at first, then twice as much.
    void grow(std::size_t needed) {
        // Places are kept in 32 bits; no set of module names comes near.
        if (needed >= kMaxBytes) throw std::length_error("import set too large");
        std::size_t capacity = capacity_ == 0 ? kFirstBytes : std::size_t{capacity_} * 2;
        while (capacity < needed)
            capacity *= 2;
        if (capacity > kMaxBytes) capacity = kMaxBytes;
        auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
        if (used_ != 0) std::memcpy(bigger.get(), bytes_.get(), used_);
        bytes_ = std::move(bigger);
        capacity_ = static_cast<std::uint32_t>(capacity);
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
            for (auto name = begin(); name != end(); ++name)
                place_in_index(hash_of(*name), static_cast<std::size_t>(name.at_ - bytes_.get()));
            return;
        }
        for (const Slot& slot : before) {
            if (slot.place != 0) place_in_index(slot.hash, slot.place - 1);
        }
    }

    void place_in_index(std::uint32_t hash, std::size_t at) {
        const std::size_t mask = index_.size() - 1;
        std::size_t slot = hash & mask;
        while (index_[slot].place != 0)
            slot = (slot + 1) & mask;
        index_[slot] = {.hash = hash, .place = static_cast<std::uint32_t>(at + 1)};
    }

    // After names left the buffer: the index again, if the set still needs one.
    void reindex() {
        index_.clear();
        if (size_ > kInOrder) grow_index(size_);
    }

    // Each name: its length (kLengthBytes), then its bytes; `used_` of `capacity_` bytes are taken.
    std::unique_ptr<char[]> bytes_;
    std::uint32_t used_ = 0;
    std::uint32_t capacity_ = 0;
    std::uint32_t size_ = 0;   // names in the buffer
    std::vector<Slot> index_;  // empty, or a power of two in size and at most half full
};

inline std::pair<ImportSet::iterator, bool> ImportSet::insert(std::string_view name) {
    const std::uint32_t hash = index_.empty() ? 0 : hash_of(name);
    const std::size_t found = position(name, hash);
    if (found != kNone) return {iterator(bytes_.get() + found), false};
    return {add(name, hash), true};
}

inline ImportSet::iterator ImportSet::add(std::string_view name, std::uint32_t hash) {
    const std::size_t at = append(name);
    if (!index_.empty()) {
        if (std::size_t{size_} * 2 > index_.size()) grow_index(size_);
        place_in_index(hash, at);
    } else if (size_ > kInOrder) {
        grow_index(size_);
    }
    return iterator(bytes_.get() + at);
}

}  // namespace modweave::core
