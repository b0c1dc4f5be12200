#include "core/source_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "internal_failure.hpp"
#include "logging_bridge/log.hpp"
#include "system/io.hpp"

namespace modweave::core {

namespace {

constexpr std::string_view kTarget = logging_bridge::targets::core_builder;

using system::describe_error;

[[noreturn]] void fail_reading(const std::string& path, int error_number) {
    fail("Failed to read file '", path, "': ", describe_error(error_number), " (os error ",
         error_number, ")");
}

// Closes the descriptor however reading ends. A close error changes nothing for a file that was
// only read, so it is not looked at.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { ::close(fd_); }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// The last component of `path` as path iteration sees it: trailing slashes and "." components
// do not count, so "a/b.py/" and "a/b.py/." both end in "b.py".
std::string_view last_component(std::string_view path) {
    for (;;) {
        while (!path.empty() && path.back() == '/')
            path.remove_suffix(1);
        const auto slash = path.rfind('/');
        const std::string_view name =
            slash == std::string_view::npos ? path : path.substr(slash + 1);
        if (name != "." || slash == std::string_view::npos) return name;
        path = path.substr(0, slash);
    }
}

}  // namespace

std::optional<std::string_view> path_extension(std::string_view path) {
    const std::string_view name = last_component(path);
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    return name.substr(dot + 1);
}

std::variant<std::string, OpenFailure, ReadFailure> read_file_bytes(const std::string& path) {
    std::string text;
    auto read = read_file_into(path, text);
    if (const auto* failure = std::get_if<OpenFailure>(&read)) return *failure;
    if (const auto* failure = std::get_if<ReadFailure>(&read)) return *failure;
    text.resize(std::get<std::size_t>(read));
    return text;
}

std::variant<std::size_t, OpenFailure, ReadFailure> read_file_into(const std::string& path,
                                                                   std::string& buffer) {
    if (path.find('\0') != std::string::npos) return OpenFailure{EINVAL};

    // Non-blocking, so that a FIFO without a writer cannot hang the open; the flag does nothing
    // to the reading of a regular file, the only kind that gets read.
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return OpenFailure{errno};
    const FileDescriptor file(fd);

    struct stat status {};
    if (::fstat(file.get(), &status) != 0) return ReadFailure{errno};
    if (S_ISDIR(status.st_mode)) return OpenFailure{EISDIR};
    if (!S_ISREG(status.st_mode)) return OpenFailure{EINVAL};

    // One byte beyond the announced size, so that the buffer holds a file that did not grow with
    // room to spare: a read that stops short of the room at exactly that size is the end of
    // the file (a regular file's read stops short only there, or on a signal, which the size
    // check catches), and no read of 0 is needed to tell. Anything else reads on to the end.
    std::size_t capacity = 4096;
    std::size_t announced = 0;
    if (status.st_size > 0 &&
        static_cast<std::uintmax_t>(status.st_size) < std::numeric_limits<std::size_t>::max()) {
        announced = static_cast<std::size_t>(status.st_size);
        capacity = announced + 1;
    }
    if (buffer.size() < capacity) buffer.resize(capacity);
    std::size_t length = 0;
    for (;;) {
        if (length == buffer.size()) buffer.resize(buffer.size() * 2);
        const ssize_t got = ::read(file.get(), buffer.data() + length, buffer.size() - length);
        if (got < 0) {
            if (errno == EINTR) continue;
            return ReadFailure{errno};
        }
        if (got == 0) break;
        length += static_cast<std::size_t>(got);
        if (length == announced && length < buffer.size()) break;
    }
    return length;
}

std::variant<std::string, OpenFailure> read_source_file(const std::string& path) {
    auto content = read_file_bytes(path);
    if (const auto* failure = std::get_if<OpenFailure>(&content)) return *failure;
    if (const auto* failure = std::get_if<ReadFailure>(&content)) {
        fail_reading(path, failure->error_number);
    }
    std::string& text = std::get<std::string>(content);
    const std::size_t invalid = find_invalid_utf8(text);
    if (invalid != std::string_view::npos) {
        fail("Failed to read file '", path, "': stream did not contain valid UTF-8 (byte ", invalid,
             ")");
    }
    return std::move(text);
}

std::string system_error_line(int error_number) {
    return logging_bridge::concat("System error: ", describe_error(error_number), " (os error ",
                                  error_number, ")\n");
}

void report_system_error(int error_number) {
    const std::optional<system::WriteFailure> failure =
        system::write_all(STDERR_FILENO, system_error_line(error_number));
    if (!failure) return;
    const int error = failure->error_number;
    // A process without a standard error has nowhere to say this; the build goes on.
    if (error == EBADF) return;
    if (error == 0) fail("failed printing to stderr: write returned 0");
    fail("failed printing to stderr: ", describe_error(error), " (os error ", error, ")");
}

std::optional<std::string> load_source(const importlib::ModuleSpec& spec) {
    if (!spec.origin) return std::nullopt;
    const std::string& origin = *spec.origin;
    if (origin == "frozen" || origin == "built-in") return std::nullopt;

    const std::optional<std::string_view> extension = path_extension(origin);
    if (!extension) {
        MODWEAVE_LOG(Warn, kTarget, "Unable to load extension for spec '", spec.name,
                     "' with origin '", origin, "' skipping.");
        return std::nullopt;
    }
    if (*extension != "py") return std::nullopt;

    MODWEAVE_LOG(Debug, kTarget, "Loading file: ", origin);
    auto content = read_source_file(origin);
    if (const auto* failure = std::get_if<OpenFailure>(&content)) {
        MODWEAVE_LOG(Warn, kTarget, "Unable to load file for spec '", spec.name, "' with origin '",
                     origin, "' skipping.");
        report_system_error(failure->error_number);
        return std::nullopt;
    }
    return std::move(std::get<std::string>(content));
}

}  // namespace modweave::core
