// The operating system's side of reporting: error texts and writing whole buffers to descriptors.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace modweave::system {

// The C library's text for an error number ("No such file or directory"). Thread-safe, unlike
// strerror: other threads of the host may be asking at the same time.
std::string describe_error(int error_number);

// Why write_all stopped. error_number is 0 when a write wrote nothing yet reported no error.
struct WriteFailure {
    int error_number;
};

// Writes all of `bytes` to `fd`, retrying interrupted and partial writes.
std::optional<WriteFailure> write_all(int fd, std::string_view bytes) noexcept;

}  // namespace modweave::system
