#include "importlib/file_finder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace modweave::importlib {

namespace {

// An open directory, read entry by entry. On Linux the entries come straight from the system,
// into the view's buffer: the C library's directory streams ask for the directory's status on
// opening, and the view asks for it again, for the modification time.
class Directory {
public:
    explicit Directory(const std::string& path) {
#if defined(__linux__)
        do {
            fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_DIRECTORY);
        } while (fd_ < 0 && errno == EINTR);
#else
        stream_ = ::opendir(path.c_str());
#endif
    }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    ~Directory() {
#if defined(__linux__)
        if (fd_ >= 0) ::close(fd_);
#else
        if (stream_ != nullptr) ::closedir(stream_);
#endif
    }

    bool is_open() const noexcept {
#if defined(__linux__)
        return fd_ >= 0;
#else
        return stream_ != nullptr;
#endif
    }

    bool status(struct stat& status) const noexcept {
#if defined(__linux__)
        return ::fstat(fd_, &status) == 0;
#else
        return ::fstat(::dirfd(stream_), &status) == 0;
#endif
    }

    // Calls `visit(name, type)` for every entry, with the entry's type as the listing gives it
    // (DT_REG, DT_DIR, ...). A read error ends the listing, as it ends a directory stream.
    template <class Visit>
    void read_entries([[maybe_unused]] std::vector<std::uint64_t>& buffer, Visit&& visit) {
#if defined(__linux__)
        // As large as the C library's own buffer: most folders of the import path come in one.
        constexpr std::size_t kBufferBytes = 32768;
        buffer.resize(kBufferBytes / sizeof(std::uint64_t));
        char* const bytes = reinterpret_cast<char*>(buffer.data());
        for (;;) {
            const ssize_t got = ::getdents64(fd_, bytes, kBufferBytes);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return;
            const auto end = static_cast<std::size_t>(got);
            constexpr std::size_t kNameAt = offsetof(dirent64, d_name);
            for (std::size_t at = 0; at < end;) {
                unsigned short record_length = 0;
                unsigned char type = DT_UNKNOWN;
                std::memcpy(&record_length, bytes + at + offsetof(dirent64, d_reclen),
                            sizeof record_length);
                if (record_length <= kNameAt || record_length > end - at) return;
                std::memcpy(&type, bytes + at + offsetof(dirent64, d_type), sizeof type);
                const char* const name = bytes + at + kNameAt;
                visit(std::string_view(name, ::strnlen(name, record_length - kNameAt)), type);
                at += record_length;
            }
        }
#else
        while (const dirent* entry = ::readdir(stream_)) {
            visit(std::string_view(entry->d_name), entry->d_type);
        }
#endif
    }

private:
#if defined(__linux__)
    int fd_ = -1;
#else
    DIR* stream_ = nullptr;
#endif
};

std::string_view last_component(std::string_view fullname) {
    const auto dot = fullname.rfind('.');
    return dot == std::string_view::npos ? fullname : fullname.substr(dot + 1);
}

// A directory changed less than this long before it was listed may change again within the same
// tick of the file system's clock, keeping its time: its listing serves one round only.
constexpr std::time_t kSettledSeconds = 2;

std::string_view parent_of(std::string_view fullname) {
    const auto dot = fullname.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : fullname.substr(0, dot);
}

}  // namespace

const FileSystemView::Folder& FileSystemView::folder(std::string_view directory) {
    auto known = folders_.find(directory);
    if (known == folders_.end()) {
        known = folders_.try_emplace(std::string(directory)).first;
        known->second.path_ = known->first;
        read(known->second);
        return known->second;
    }
    return current(known->second);
}

const FileSystemView::Folder& FileSystemView::folder(const Folder& known) {
    // The view's own folder, which it hands out for reading only.
    return current(const_cast<Folder&>(known));
}

const FileSystemView::Folder& FileSystemView::current(Folder& folder) {
    if (folder.round_ == round_) return folder;
    struct stat status {};
    if (folder.reusable_ && ::stat(folder.path_.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
        status.st_mtim.tv_sec == folder.modified_.tv_sec &&
        status.st_mtim.tv_nsec == folder.modified_.tv_nsec) {
        folder.round_ = round_;
        return folder;
    }
    read(folder);
    return folder;
}

void FileSystemView::Listing::clear() noexcept {
    bytes_.clear();
    slots_.clear();
    size_ = 0;
}

void FileSystemView::Listing::add(std::string_view name, Kind kind) {
    // Longer names than two bytes of length can tell are beyond every system's limit.
    if (name.size() > 0xFFFF) return;
    if ((size_ + 1) * 2 > slots_.size()) grow();
    const std::uint64_t hash = text::hash_text(name);
    const std::size_t mask = slots_.size() - 1;
    std::size_t index = hash & mask;
    for (; slots_[index].record != 0; index = (index + 1) & mask) {
        const Slot& slot = slots_[index];
        // A listing names each entry once; should a name come twice, the first stands.
        if (slot.hash == hash && name_at(slot.record - 1) == name) return;
    }
    const std::size_t at = bytes_.size();
    bytes_.push_back(static_cast<char>(kind));
    bytes_.push_back(static_cast<char>(name.size() & 0xFF));
    bytes_.push_back(static_cast<char>(name.size() >> 8));
    bytes_.insert(bytes_.end(), name.begin(), name.end());
    slots_[index] = {.hash = hash, .record = at + 1};
    ++size_;
}

FileSystemView::Kind FileSystemView::Listing::find(std::string_view name) const noexcept {
    if (size_ == 0) return Kind::Missing;
    const std::uint64_t hash = text::hash_text(name);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t index = hash & mask; slots_[index].record != 0; index = (index + 1) & mask) {
        const Slot& slot = slots_[index];
        if (slot.hash == hash && name_at(slot.record - 1) == name) {
            return static_cast<Kind>(bytes_[slot.record - 1]);
        }
    }
    return Kind::Missing;
}

void FileSystemView::Listing::grow() {
    std::vector<Slot> slots(std::max<std::size_t>(16, slots_.size() * 2));
    const std::size_t mask = slots.size() - 1;
    for (const Slot& slot : slots_) {
        if (slot.record == 0) continue;
        std::size_t index = slot.hash & mask;
        while (slots[index].record != 0)
            index = (index + 1) & mask;
        slots[index] = slot;
    }
    slots_ = std::move(slots);
}

void FileSystemView::read(Folder& folder) {
    folder.entries_.clear();
    folder.suffixes_seen_for_ = nullptr;
    folder.reusable_ = false;
    folder.round_ = round_;
    Directory directory(folder.path_);
    // A folder that cannot be listed finds nothing, as for the interpreter.
    if (!directory.is_open()) {
        struct stat status {};
        folder.directory_ = ::stat(folder.path_.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
        return;
    }
    folder.directory_ = true;
    // The time is taken before the entries are read, so that a change made meanwhile shows.
    struct stat status {};
    timespec now{};
    const bool timed = directory.status(status) && ::clock_gettime(CLOCK_REALTIME, &now) == 0;
    directory.read_entries(listing_buffer_, [&](std::string_view name, unsigned char type) {
        if (name == "." || name == "..") return;
        // A link or a file system that does not tell is asked about the file itself.
        const Kind kind = type == DT_REG                         ? Kind::File
                          : type == DT_DIR                       ? Kind::Directory
                          : type == DT_LNK || type == DT_UNKNOWN ? Kind::Unknown
                                                                 : Kind::Other;
        folder.entries_.add(name, kind);
    });
    if (timed) {
        folder.modified_ = status.st_mtim;
        folder.reusable_ = now.tv_sec - status.st_mtim.tv_sec >= kSettledSeconds;
    }
}

FileSystemView::Kind FileSystemView::kind(const Folder& folder, std::string_view name) {
    const Kind listed = folder.entries_.find(name);
    if (listed != Kind::Unknown) return listed;
    std::string path = join_path(folder.path_, name);
    if (const auto known = statuses_.find(path); known != statuses_.end()) return known->second;
    struct stat status {};
    Kind found = Kind::Missing;
    if (::stat(path.c_str(), &status) == 0) {
        found = S_ISREG(status.st_mode)   ? Kind::File
                : S_ISDIR(status.st_mode) ? Kind::Directory
                                          : Kind::Other;
    }
    statuses_.emplace(std::move(path), found);
    return found;
}

std::uint64_t FileSystemView::suffixes_seen(const Folder& folder,
                                            const std::vector<std::string>& suffixes) {
    if (suffixes.size() >= 64) return ~std::uint64_t{0};
    const std::vector<std::string>& list = suffix_list(suffixes);
    if (folder.suffixes_seen_for_ != &list) {
        folder.suffixes_seen_ = 0;
        folder.entries_.for_each_name([&](std::string_view name) {
            for (std::size_t index = 0; index < list.size(); ++index) {
                const std::string& suffix = list[index];
                if (name.size() > suffix.size() && name.ends_with(suffix)) {
                    folder.suffixes_seen_ |= std::uint64_t{1} << index;
                }
            }
        });
        folder.suffixes_seen_for_ = &list;
    }
    return folder.suffixes_seen_;
}

const std::vector<std::string>& FileSystemView::suffix_list(
    const std::vector<std::string>& suffixes) {
    for (const std::vector<std::string>& known : suffix_lists_) {
        if (&known == &suffixes || known == suffixes) return known;
    }
    return suffix_lists_.emplace_back(suffixes);
}

void FileSystemView::new_round() noexcept {
    ++round_;
    statuses_.clear();
}

std::string join_path(std::string_view directory, std::string_view name) {
    while (!directory.empty() && directory.back() == '/')
        directory.remove_suffix(1);
    std::string path;
    path.reserve(directory.size() + 1 + name.size());
    path.append(directory);
    path.push_back('/');
    path.append(name);
    return path;
}

DirectoryMatch find_in_directory(FileSystemView& files, std::string_view directory,
                                 const std::vector<std::string>& suffixes,
                                 std::string_view fullname) {
    return find_in_directory(files, files.folder(directory), suffixes, fullname);
}

DirectoryMatch find_in_directory(FileSystemView& files, const FileSystemView::Folder& folder,
                                 const std::vector<std::string>& suffixes,
                                 std::string_view fullname) {
    using Kind = FileSystemView::Kind;
    const std::string_view directory = folder.path();
    const std::string_view tail = last_component(fullname);
    // A NUL would end the path early for the system, and the interpreter refuses such names.
    if (tail.find('\0') != std::string_view::npos) return std::monostate{};

    // As the interpreter's file finder asks its cache of the folder's names: the stem itself,
    // then the stem with each suffix, of those that end any name of the folder.
    const auto suffix_bit = [](std::size_t index) { return std::uint64_t{1} << index; };
    std::string candidate;
    bool possible_namespace = false;
    std::string package_folder;
    // Only a folder can hold an `__init__` (the interpreter's check of a file's path below a
    // plain file fails).
    if (files.kind(folder, tail) == Kind::Directory) {
        package_folder = join_path(directory, tail);
        const FileSystemView::Folder& package = files.folder(package_folder);
        const std::uint64_t inits = files.suffixes_seen(package, suffixes);
        for (std::size_t index = 0; index < suffixes.size(); ++index) {
            if ((inits & suffix_bit(index)) == 0) continue;
            candidate.assign("__init__").append(suffixes[index]);
            if (files.kind(package, candidate) == Kind::File) {
                return FoundModule{ModuleSpec{
                    .name = std::string(fullname),
                    .origin = join_path(package_folder, candidate),
                    .parent = std::string(fullname),
                    .submodule_search_locations = std::vector<std::string>{package_folder},
                }};
            }
        }
        possible_namespace = true;
    }
    const std::uint64_t modules = files.suffixes_seen(folder, suffixes);
    for (std::size_t index = 0; index < suffixes.size(); ++index) {
        if ((modules & suffix_bit(index)) == 0) continue;
        candidate.assign(tail).append(suffixes[index]);
        if (files.kind(folder, candidate) == Kind::File) {
            return FoundModule{ModuleSpec{
                .name = std::string(fullname),
                .origin = join_path(directory, candidate),
                .parent = std::string(parent_of(fullname)),
                .submodule_search_locations = std::nullopt,
            }};
        }
    }
    if (possible_namespace) return NamespacePortion{std::move(package_folder)};
    return std::monostate{};
}

}  // namespace modweave::importlib
