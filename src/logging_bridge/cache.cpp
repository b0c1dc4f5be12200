#include "logging_bridge/cache.hpp"

namespace modweave::logging_bridge {

std::string logger_name(std::string_view target) {
    std::string name;
    name.reserve(target.size());
    bool first = true;
    for_each_segment(target, [&](std::string_view segment) {
        if (!first) name.push_back('.');
        name.append(segment);
        first = false;
    });
    return name;
}

}  // namespace modweave::logging_bridge
