#include "importlib/file_finder.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <bit>
#include <cerrno>
#include <memory>

namespace modweave::importlib {

namespace {

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { ::closedir(directory); }
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
    Folder& folder = known->second;
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

void FileSystemView::read(Folder& folder) {
    folder.entries_.clear();
    folder.suffixes_seen_for_ = nullptr;
    folder.reusable_ = false;
    folder.round_ = round_;
    // A folder that cannot be listed finds nothing, as for the interpreter.
    const std::unique_ptr<DIR, DirectoryCloser> stream{::opendir(folder.path_.c_str())};
    if (!stream) {
        struct stat status {};
        folder.directory_ = ::stat(folder.path_.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
        return;
    }
    folder.directory_ = true;
    // The time is taken before the entries are read, so that a change made meanwhile shows.
    struct stat status {};
    timespec now{};
    const bool timed =
        ::fstat(::dirfd(stream.get()), &status) == 0 && ::clock_gettime(CLOCK_REALTIME, &now) == 0;
    while (const dirent* entry = ::readdir(stream.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        // A link or a file system that does not tell is asked about the file itself.
        const Kind kind = entry->d_type == DT_REG                                  ? Kind::File
                          : entry->d_type == DT_DIR                                ? Kind::Directory
                          : entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN ? Kind::Unknown
                                                                                   : Kind::Other;
        folder.entries_.emplace(name, kind);
    }
    if (timed) {
        folder.modified_ = status.st_mtim;
        folder.reusable_ = now.tv_sec - status.st_mtim.tv_sec >= kSettledSeconds;
    }
}

FileSystemView::Kind FileSystemView::kind(const Folder& folder, std::string_view name) {
    const auto entry = folder.entries_.find(name);
    if (entry == folder.entries_.end()) return Kind::Missing;
    if (entry->second != Kind::Unknown) return entry->second;
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

std::uint64_t FileSystemView::stem_bits(const Folder& folder, std::string_view stem,
                                        const std::vector<std::string>& suffixes) {
    if (suffixes.size() >= 63) return ~std::uint64_t{0};
    const std::vector<std::string>& list = suffix_list(suffixes);
    if (folder.suffixes_seen_for_ != &list) {
        folder.suffixes_seen_ = 0;
        for (const auto& [name, kind] : folder.entries_) {
            for (std::size_t index = 0; index < list.size(); ++index) {
                const std::string& suffix = list[index];
                if (name.size() > suffix.size() && name.ends_with(suffix)) {
                    folder.suffixes_seen_ |= std::uint64_t{1} << index;
                }
            }
        }
        folder.suffixes_seen_for_ = &list;
    }
    // As the interpreter's file finder asks its cache of the folder's names: the stem itself,
    // then the stem with each suffix, of those that end any name of the folder.
    std::uint64_t bits = folder.entries_.contains(stem) ? kSelf : 0;
    for (std::uint64_t left = folder.suffixes_seen_; left != 0; left &= left - 1) {
        const auto index = static_cast<std::size_t>(std::countr_zero(left));
        candidate_.assign(stem).append(list[index]);
        if (folder.entries_.contains(candidate_)) bits |= std::uint64_t{1} << index;
    }
    return bits;
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
    using Kind = FileSystemView::Kind;
    const std::string_view tail = last_component(fullname);
    // A NUL would end the path early for the system, and the interpreter refuses such names.
    if (tail.find('\0') != std::string_view::npos) return std::monostate{};

    using View = FileSystemView;
    const auto suffix_bit = [](std::size_t index) { return std::uint64_t{1} << index; };
    std::string candidate;
    bool possible_namespace = false;
    std::string package_folder;
    const View::Folder& folder = files.folder(directory);
    const std::uint64_t names = files.stem_bits(folder, tail, suffixes);
    if (names == 0) return std::monostate{};
    // Only a folder can hold an `__init__` (the interpreter's check of a file's path below a
    // plain file fails).
    if ((names & View::kSelf) != 0 && files.kind(folder, tail) == Kind::Directory) {
        package_folder = join_path(directory, tail);
        const View::Folder& package = files.folder(package_folder);
        const std::uint64_t inits = files.stem_bits(package, "__init__", suffixes);
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
    for (std::size_t index = 0; index < suffixes.size(); ++index) {
        if ((names & suffix_bit(index)) == 0) continue;
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
