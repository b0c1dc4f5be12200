// Times the graph operations on synthetic graphs of three sizes, each ten times the one before,
// against a baseline measured in the same run: the same edges inserted into a bare hash map of
// adjacency sets, the least any hash-based graph must do. Linear operations show as ratios near
// 10 between sizes; the baseline's own ratio shows how much of the growth is the graph outgrowing
// the processor caches. No log sink is installed, so every log call costs one atomic load, as in
// the module when logging is quiet.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/types.hpp"

namespace {

using modweave::core::DepGraph;
using modweave::core::DepNode;
using Clock = std::chrono::steady_clock;
using Edge = std::pair<std::size_t, std::size_t>;

struct Timings {
    double baseline = 1e300;    // the edges into an unordered_map of adjacency sets
    double build = 1e300;       // add and add_dependency for every node and edge
    double clone_from = 1e300;  // of the root, which reaches every node
    double copy = 1e300;        // the deep copy the builder keeps as its cache
    double merge = 1e300;       // of the clone into the copy: every node overlaps
    double add_graph = 1e300;   // of a clone under a new root: every node is new
};

template <class Operation>
double milliseconds(Operation&& operation) {
    const auto start = Clock::now();
    operation();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Node i (from 1) first gets an edge from a random earlier node, so everything is reachable from
// node 0 and every importer has a depth; random edges between any two nodes make up the rest.
std::vector<Edge> make_edges(std::size_t node_count, std::size_t edge_count, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<Edge> edges;
    edges.reserve(edge_count);
    for (std::size_t i = 1; i < node_count; ++i) {
        edges.emplace_back(std::uniform_int_distribution<std::size_t>(0, i - 1)(random), i);
    }
    std::uniform_int_distribution<std::size_t> any(0, node_count - 1);
    while (edges.size() < edge_count) {
        const std::size_t from = any(random);
        const std::size_t to = any(random);
        if (from != to) edges.emplace_back(from, to);
    }
    return edges;
}

DepNode make_node(const std::string& name, std::optional<std::int32_t> depth) {
    return DepNode({name, "/site/" + name + ".py", "", std::nullopt}, depth);
}

DepGraph build_graph(const std::vector<std::string>& names, const std::vector<Edge>& edges) {
    DepGraph graph;
    graph.add(make_node(names[0], 0));
    for (std::size_t i = 0; i < edges.size(); ++i) {
        if (i + 1 < names.size()) graph.add(make_node(names[i + 1], std::nullopt));
        graph.add_dependency(names[edges[i].first], names[edges[i].second]);
    }
    return graph;
}

struct Adjacency {
    std::unordered_set<std::string> out;
    std::unordered_set<std::string> in;
};

std::size_t build_baseline(const std::vector<std::string>& names, const std::vector<Edge>& edges) {
    std::unordered_map<std::string, Adjacency> adjacency;
    for (const auto& [from, to] : edges) {
        adjacency[names[from]].out.insert(names[to]);
        adjacency[names[to]].in.insert(names[from]);
    }
    return adjacency.size();
}

Timings measure(std::size_t node_count, std::size_t edge_count, int rounds) {
    std::vector<std::string> names;
    names.reserve(node_count);
    for (std::size_t i = 0; i < node_count; ++i)
        names.push_back("pkg.module" + std::to_string(i));
    const std::vector<Edge> edges = make_edges(node_count, edge_count, 42);

    Timings best;
    for (int round = 0; round < rounds; ++round) {
        std::size_t baseline_nodes = 0;
        const double baseline =
            milliseconds([&] { baseline_nodes = build_baseline(names, edges); });

        DepGraph graph;
        const double build = milliseconds([&] { graph = build_graph(names, edges); });
        DepGraph clone;
        const double clone_from = milliseconds([&] { clone = graph.clone_from(names[0]); });
        DepGraph copy;
        const double copy_time = milliseconds([&] { copy = DepGraph(graph); });
        const double merge = milliseconds([&] { copy.merge(std::move(clone)); });

        DepGraph spliced;
        spliced.add(make_node("<terminal>", 0));
        DepGraph part = graph.clone_from(names[0]);
        const double add_graph =
            milliseconds([&] { spliced.add_graph("<terminal>", names[0], std::move(part)); });

        if (baseline_nodes != node_count || copy.num_dependencies() != graph.num_dependencies() ||
            spliced.size() != node_count + 1) {
            std::fprintf(stderr, "benchmark graphs came out wrong\n");
            std::exit(1);
        }
        if (round == 0) {
            std::printf("%zu nodes, %zu distinct edges\n", graph.size(), graph.num_dependencies());
        }
        best.baseline = std::min(best.baseline, baseline);
        best.build = std::min(best.build, build);
        best.clone_from = std::min(best.clone_from, clone_from);
        best.copy = std::min(best.copy, copy_time);
        best.merge = std::min(best.merge, merge);
        best.add_graph = std::min(best.add_graph, add_graph);
    }
    return best;
}

}  // namespace

int main() {
    constexpr int kRounds = 3;
    struct Size {
        const char* label;
        std::size_t nodes;
        std::size_t edges;
    };
    const Size sizes[] = {
        {"1k/10k", 1'000, 10'000}, {"10k/100k", 10'000, 100'000}, {"100k/1M", 100'000, 1'000'000}};
    std::vector<Timings> timings;
    for (const auto& size : sizes)
        timings.push_back(measure(size.nodes, size.edges, kRounds));

    std::printf("\nmilliseconds, best of %d rounds (nodes/edges)\n", kRounds);
    std::printf("%-11s %9s %9s %9s | %-14s %-14s | %s\n", "operation", sizes[0].label,
                sizes[1].label, sizes[2].label, "growth 1k->10k", "growth 10k->100k",
                "x baseline at 1k, 10k, 100k");
    const std::pair<const char*, double Timings::*> rows[] = {
        {"baseline", &Timings::baseline},     {"build", &Timings::build},
        {"clone_from", &Timings::clone_from}, {"copy", &Timings::copy},
        {"merge", &Timings::merge},           {"add_graph", &Timings::add_graph},
    };
    for (const auto& [label, field] : rows) {
        const double t0 = timings[0].*field;
        const double t1 = timings[1].*field;
        const double t2 = timings[2].*field;
        std::printf("%-11s %9.2f %9.2f %9.2f | %14.2f %16.2f | %5.2f %5.2f %5.2f\n", label, t0, t1,
                    t2, t1 / t0, t2 / t1, t0 / timings[0].baseline, t1 / timings[1].baseline,
                    t2 / timings[2].baseline);
    }
    return 0;
}
