// The interpreter's file finder for one directory of the import path, reproduced natively: which
// file or folder a module name finds there, by the same rules (a package folder before a module
// file of the same name, suffixes tried in the finder's order, a folder without an `__init__` as
// a possible namespace portion). Directory listings are read once and kept while the directory's
// modification time stays the same, as the interpreter's finders keep theirs.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "importlib/types.hpp"
#include "text/string_hash.hpp"

namespace modweave::importlib {

// What the file system holds, as far as lookups have asked: directory listings with the kind of
// each entry as the listing reports it, so that most questions about a file cost no call of their
// own. Within one round of lookups nothing is read twice; `new_round` starts another, in which a
// listing is read again only when its directory has changed. Not safe for use from two threads.
class FileSystemView {
public:
    enum class Kind : std::uint8_t { Missing, File, Directory, Other, Unknown };

    // The entries of one directory: each name packed after the last, its kind in the byte before
    // its length, with an open table of their places by hash. A folder of the import path is
    // listed once and asked about a few names many times; a node-based map made an allocation
    // or two per entry, most of them never asked about.
    class Listing {
    public:
        void clear() noexcept;
        void add(std::string_view name, Kind kind);
        // The kind the listing gives `name`, or Missing.
        Kind find(std::string_view name) const noexcept;
        // Calls `visit(std::string_view)` with every name, in the order they were added.
        template <class Visit>
        void for_each_name(Visit&& visit) const {
            for (std::size_t at = 0; at < bytes_.size();) {
                const std::size_t length = length_at(at);
                visit(std::string_view(bytes_.data() + at + kHeader, length));
                at += kHeader + length;
            }
        }

    private:
        // A record: the kind, two bytes of length (a name is at most 255 bytes on every system
        // the module runs on), the name.
        static constexpr std::size_t kHeader = 3;
        struct Slot {
            std::uint64_t hash = 0;
            std::size_t record = 0;  // the record's offset plus one; 0 for an empty slot
        };
        std::size_t length_at(std::size_t at) const noexcept {
            return static_cast<unsigned char>(bytes_[at + 1]) |
                   (static_cast<std::size_t>(static_cast<unsigned char>(bytes_[at + 2])) << 8);
        }
        std::string_view name_at(std::size_t at) const noexcept {
            return {bytes_.data() + at + kHeader, length_at(at)};
        }
        void grow();

        std::vector<char> bytes_;
        std::vector<Slot> slots_;  // a power of two in size, at most half full
        std::size_t size_ = 0;
    };

    // A directory as the view holds it.
    class Folder {
    public:
        // Whether the path names a folder (through links), listable or not.
        bool is_directory() const noexcept { return directory_; }
        const std::string& path() const noexcept { return path_; }

    private:
        friend class FileSystemView;
        std::string path_;
        Listing entries_;  // empty when the directory cannot be listed (missing, no access)
        bool directory_ = false;
        timespec modified_{};
        bool reusable_ = false;  // the listing may serve a later round if the time is unchanged
        std::uint64_t round_ = 0;
        // Which suffixes of one list end a name of the listing (bit i for suffix i), made on
        // first need for that list: a stem is looked up with those alone.
        mutable std::uint64_t suffixes_seen_ = 0;
        mutable const std::vector<std::string>* suffixes_seen_for_ = nullptr;  // kept by the view
    };

    // The view's own list equal to `suffixes`, kept for as long as the view: lists it gave
    // out are told apart by address.
    const std::vector<std::string>& suffix_list(const std::vector<std::string>& suffixes);

    // Which of `suffixes` end a name of the folder's entries, longer than the suffix (bit i for
    // suffixes[i]), noted once per folder and list: a stem is looked up with those alone. Every
    // bit is set for lists too long to index. Fastest with a list from suffix_list.
    std::uint64_t suffixes_seen(const Folder& folder, const std::vector<std::string>& suffixes);

    // The directory, listed in this round.
    const Folder& folder(std::string_view directory);
    // The same for a folder the view gave out before, without looking its path up: folders
    // stay where they are for the life of the view.
    const Folder& folder(const Folder& known);

    // What `name` in the folder is, symbolic links followed: from the listing where it says,
    // from the file's status otherwise.
    Kind kind(const Folder& folder, std::string_view name);

    // Starts a round of lookups: listings are checked against their directories' modification
    // times when next used, and statuses asked of single files are asked again.
    void new_round() noexcept;

private:
    // The folder, read again when a new round finds its directory changed.
    const Folder& current(Folder& folder);
    void read(Folder& folder);

    std::unordered_map<std::string, Folder, text::TransparentStringHash, std::equal_to<>> folders_;
    // Kinds of entries the listings leave open (links), from the files' status in this round.
    std::unordered_map<std::string, Kind, text::TransparentStringHash, std::equal_to<>> statuses_;
    std::uint64_t round_ = 1;
    std::vector<std::uint64_t> listing_buffer_;          // for the system's directory entries
    std::deque<std::vector<std::string>> suffix_lists_;  // each list once; addresses stay
};

// The outcome of one directory's lookup.
struct FoundModule {
    ModuleSpec spec;  // a module file, or a package with its `__init__` file
};
struct NamespacePortion {
    std::string location;  // a folder of the name's last component, without an `__init__`
};
using DirectoryMatch = std::variant<std::monostate, FoundModule, NamespacePortion>;

// Looks `fullname` up in `directory` (a file finder's absolute path) with the finder's suffixes
// in its order, as the interpreter's file finder does on a case-sensitive system.
DirectoryMatch find_in_directory(FileSystemView& files, std::string_view directory,
                                 const std::vector<std::string>& suffixes,
                                 std::string_view fullname);
// The same in a folder the view gave out.
DirectoryMatch find_in_directory(FileSystemView& files, const FileSystemView::Folder& folder,
                                 const std::vector<std::string>& suffixes,
                                 std::string_view fullname);

// The path of `name` inside `directory`, joined as the import system joins paths: trailing
// slashes of the directory dropped, one slash between.
std::string join_path(std::string_view directory, std::string_view name);

}  // namespace modweave::importlib
