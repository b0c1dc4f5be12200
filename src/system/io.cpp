#include "system/io.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace modweave::system {
namespace {

// strerror_r comes in two flavours, and which one the C library declares depends on feature
// macros; overloading on its result type takes whichever is there.
[[maybe_unused]] const char* error_text(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* error_text(const char* result, const char*) {
    return result;
}

}  // namespace

std::string describe_error(int error_number) {
    char buffer[256] = {};
    return error_text(strerror_r(error_number, buffer, sizeof buffer), buffer);
}

std::optional<WriteFailure> write_all(int fd, std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return WriteFailure{errno};
        }
        if (written == 0) return WriteFailure{0};
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return std::nullopt;
}

}  // namespace modweave::system
