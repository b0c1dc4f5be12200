// Shorthands shared by the graph tests: specs, nodes, small graphs, failure and log checks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/types.hpp"
#include "internal_failure.hpp"
#include "test_sink.hpp"

namespace modweave::core::test_support {

inline importlib::ModuleSpec spec(std::string name,
                                  std::optional<std::string> origin = std::nullopt) {
    return {std::move(name), std::move(origin), "", std::nullopt};
}

inline DepNode node(std::string name, std::optional<std::int32_t> depth = std::nullopt,
                    std::optional<std::string> origin = std::nullopt) {
    return DepNode(spec(std::move(name), std::move(origin)), depth);
}

// Adds `root` at depth 0 and then every edge in order, each new name as a node without depth.
inline DepGraph graph_of(std::string_view root,
                         const std::vector<std::pair<std::string, std::string>>& edges) {
    DepGraph graph;
    graph.add(node(std::string(root), 0));
    for (const auto& [from, to] : edges) {
        if (!graph.has_node(from)) graph.add(node(from));
        if (!graph.has_node(to)) graph.add(node(to));
        graph.add_dependency(from, to);
    }
    return graph;
}

// Every node by name, to compare whole graphs before and after an operation.
inline std::map<std::string, DepNode> snapshot(const DepGraph& graph) {
    std::map<std::string, DepNode> nodes;
    graph.for_each_node([&](const DepNode& each) { nodes.emplace(each.name, each.clone()); });
    return nodes;
}

inline std::optional<std::int32_t> depth_of(const DepGraph& graph, std::string_view name) {
    return graph.read(name)->depth;
}

inline std::vector<std::string> type_messages() {
    return testing::captured_messages("modweave::core::types");
}

// The message of the InternalFailure that `operation` throws, or a test failure.
template <class Operation>
std::string failure_of(Operation&& operation) {
    try {
        operation();
    } catch (const InternalFailure& failure) {
        return std::string(failure.message());
    }
    ADD_FAILURE() << "expected an internal failure";
    return {};
}

// Keeps the capturing sink quiet inside a scope, for tests whose records are not the point.
class QuietLog {
public:
    QuietLog() { logging_bridge::set_max_level(logging_bridge::LevelFilter::Off); }
    ~QuietLog() { logging_bridge::set_max_level(logging_bridge::LevelFilter::Debug); }
    QuietLog(const QuietLog&) = delete;
    QuietLog& operator=(const QuietLog&) = delete;
};

}  // namespace modweave::core::test_support
