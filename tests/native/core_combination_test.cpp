#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/types.hpp"
#include "core_test_support.hpp"

namespace modweave::core {
namespace {

using namespace test_support;
using Names = ImportSet;
using Messages = std::vector<std::string>;

class CombinationTest : public ::testing::Test {
protected:
    void SetUp() override { testing::clear_captured_records(); }
};

// ---- clone_from ----

TEST_F(CombinationTest, CloneFromCopiesTheReachablePartWithDependentsCut) {
    // a -> b, b -> c, c -> b, plus d importing b from outside the reachable part.
    DepGraph graph = graph_of("a", {{"a", "b"}, {"b", "c"}, {"c", "b"}, {"a", "d"}, {"d", "b"}});
    const auto source_before = snapshot(graph);
    testing::clear_captured_records();

    DepGraph copy = graph.clone_from("b");
    EXPECT_EQ(type_messages(), (Messages{"Adding node to graph: b", "Adding node to graph: c"}));
    ASSERT_EQ(copy.size(), 2u);
    EXPECT_EQ(copy.read("b")->dependents, (Names{"c"}));
    EXPECT_EQ(copy.read("b")->dependencies, (Names{"c"}));
    EXPECT_EQ(copy.read("c")->dependents, (Names{"b"}));
    EXPECT_EQ(copy.read("c")->dependencies, (Names{"b"}));
    EXPECT_EQ(depth_of(copy, "b"), depth_of(graph, "b"));  // still counted from the old root
    EXPECT_EQ(depth_of(copy, "c"), depth_of(graph, "c"));
    EXPECT_EQ(snapshot(graph), source_before);

    copy.write("b")->dependencies.insert("x");
    EXPECT_EQ(graph.read("b")->dependencies, (Names{"c"}));
}

TEST_F(CombinationTest, CloneFromALeafHasOneNodeWithoutDependents) {
    DepGraph graph = graph_of("r", {{"r", "leaf"}, {"r", "m"}, {"m", "leaf"}});
    const DepGraph copy = graph.clone_from("leaf");
    ASSERT_EQ(copy.size(), 1u);
    EXPECT_TRUE(copy.read("leaf")->dependents.empty());
    EXPECT_EQ(copy.read("leaf")->depth, 1);
    EXPECT_EQ(graph.read("leaf")->dependents, (Names{"r", "m"}));
}

TEST_F(CombinationTest, CloneFromAddsNodesInByteOrderOfThePendingNames) {
    // Pending after r: {Z, x, y, é}; y then brings a, which is smaller than é.
    DepGraph graph =
        graph_of("r", {{"r", "y"}, {"r", "\xc3\xa9"}, {"r", "x"}, {"r", "Z"}, {"y", "a"}});
    testing::clear_captured_records();
    const DepGraph copy = graph.clone_from("r");
    EXPECT_EQ(type_messages(),
              (Messages{"Adding node to graph: r", "Adding node to graph: Z",
                        "Adding node to graph: x", "Adding node to graph: y",
                        "Adding node to graph: a", "Adding node to graph: \xc3\xa9"}));
    EXPECT_EQ(snapshot(copy), snapshot(graph));  // everything reachable: an exact copy
}

TEST_F(CombinationTest, CloneFromFailures) {
    DepGraph graph = graph_of("r", {{"r", "a"}});
    testing::clear_captured_records();
    EXPECT_EQ(failure_of([&] { graph.clone_from("missing"); }),
              "assertion failed: self.has_node(name)");
    EXPECT_TRUE(type_messages().empty());

    graph.write("a")->dependencies.insert("ghost");  // a dependency without a node
    const auto before = snapshot(graph);
    EXPECT_EQ(failure_of([&] { graph.clone_from("r"); }),
              "called `Option::unwrap()` on a `None` value");
    EXPECT_EQ(snapshot(graph), before);
    for (const auto& entry : graph.nodes())
        EXPECT_TRUE(entry.second.is_free()) << entry.first;
}

// ---- merge ----

TEST_F(CombinationTest, MergeOfOrIntoAnEmptyGraph) {
    DepGraph graph = graph_of("r", {{"r", "a"}});
    const auto before = snapshot(graph);
    testing::clear_captured_records();
    graph.merge(DepGraph{});
    EXPECT_EQ(snapshot(graph), before);
    EXPECT_TRUE(type_messages().empty());

    DepGraph empty;
    empty.merge(DepGraph(graph));
    EXPECT_EQ(snapshot(empty), before);
    Messages adds = type_messages();
    std::sort(adds.begin(), adds.end());
    EXPECT_EQ(adds, (Messages{"Adding node to graph: a", "Adding node to graph: r"}));
}

TEST_F(CombinationTest, MergeUnitesRelationsKeepsSpecAndSmallerDepth) {
    DepGraph kept;
    kept.add(DepNode({"p", "/p/__init__.py", "p", std::vector<std::string>{"/p"}}, 3));
    kept.add(node("a", 1));
    kept.add_dependency("a", "p");
    kept.write("p")->depth = 3;

    DepGraph incoming;
    incoming.add(node("p", 2, "/p/__init__.py"));  // no search locations: the kept spec wins
    incoming.add(node("b", 1));
    incoming.add_dependency("b", "p");
    incoming.add(node("q", 3));
    incoming.add_dependency("p", "q");
    testing::clear_captured_records();

    kept.merge(std::move(incoming));
    Messages adds = type_messages();
    std::sort(adds.begin(), adds.end());
    EXPECT_EQ(adds, (Messages{"Adding node to graph: b", "Adding node to graph: q"}));
    const DepNode p = kept.get("p");
    EXPECT_EQ(p.dependents, (Names{"a", "b"}));
    EXPECT_EQ(p.dependencies, (Names{"q"}));
    EXPECT_EQ(p.depth, 2);
    EXPECT_TRUE(p.spec.is_package());
    EXPECT_EQ(kept.read("q")->dependents, (Names{"p"}));
    EXPECT_EQ(kept.num_dependencies(), 3u);
}

TEST_F(CombinationTest, MergedDepthIsTheSmallerKnownOne) {
    struct Case {
        std::optional<std::int32_t> kept;
        std::optional<std::int32_t> incoming;
        std::optional<std::int32_t> merged;
    };
    const Case cases[] = {
        {5, 3, 3},
        {3, 5, 3},
        {4, 4, 4},
        {std::nullopt, 3, 3},
        {2, std::nullopt, 2},
        {std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        DepGraph graph;
        graph.add(node("m", c.kept));
        DepGraph other;
        other.add(node("m", c.incoming));
        graph.merge(std::move(other));
        EXPECT_EQ(depth_of(graph, "m"), c.merged);
    }
}

TEST_F(CombinationTest, MergeChecksNameAndOriginsBeforeChangingTheKeptNode) {
    struct Case {
        std::optional<std::string> kept_origin;
        std::optional<std::string> incoming_origin;
        std::string failure;  // empty: the merge goes through
        bool kept_renamed = false;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, ""},
        {std::nullopt, "/q/m.py", ""},
        {"/p/m.py", "/p/m.py", ""},
        {"/p/m.py", std::nullopt, "called `Option::unwrap()` on a `None` value"},
        {"/p/m.py", "/q/m.py", "assertion failed: origin == &other.spec.origin.unwrap()"},
        {"/p/m.py", "/p/m.py", "assertion failed: self.name == other.name", true},
    };
    for (const auto& c : cases) {
        DepGraph graph;
        graph.add(node("r", 0));
        graph.add(node("m", std::nullopt, c.kept_origin));
        graph.add_dependency("r", "m");
        if (c.kept_renamed) graph.write("m")->name = "z";
        DepGraph other;
        other.add(node("o", 0));
        other.add(node("m", std::nullopt, c.incoming_origin));
        other.add_dependency("o", "m");
        other.write("m")->dependencies.insert("x");
        const DepNode kept_before = graph.get("m");

        if (c.failure.empty()) {
            graph.merge(std::move(other));
            EXPECT_EQ(graph.read("m")->dependents, (Names{"r", "o"}));
            EXPECT_EQ(graph.read("m")->spec.origin, c.kept_origin);
        } else {
            EXPECT_EQ(failure_of([&] { graph.merge(std::move(other)); }), c.failure);
            EXPECT_EQ(graph.get("m"), kept_before);
            EXPECT_TRUE(graph.nodes().at("m").is_free());
        }
    }
}

TEST_F(CombinationTest, MergeFailureKeepsWhatWasMergedBefore) {
    DepGraph graph;
    graph.add(node("m", 1, "/p/m.py"));
    DepGraph other;
    other.add(node("m", 1, "/q/m.py"));
    other.add(node("new", 1));
    testing::clear_captured_records();
    EXPECT_EQ(failure_of([&] { graph.merge(std::move(other)); }),
              "assertion failed: origin == &other.spec.origin.unwrap()");
    // Whether "new" came before the failure depends on the map order; the record tells.
    const bool added = graph.has_node("new");
    EXPECT_EQ(type_messages(), added ? Messages{"Adding node to graph: new"} : Messages{});
    EXPECT_EQ(graph.size(), added ? 2u : 1u);
}

// ---- add_graph ----

TEST_F(CombinationTest, AddGraphSplicesACachedPartUnderANewEdge) {
    // The builder's cache case: the cache holds r -> a -> b, a new build reached r -> c and c
    // imports a.
    DepGraph cache = graph_of("<terminal>", {{"<terminal>", "a"}, {"a", "b"}});
    DepGraph graph = graph_of("<terminal>", {{"<terminal>", "c"}});
    DepGraph part = cache.clone_from("a");
    testing::clear_captured_records();

    graph.add_graph("c", "a", std::move(part));
    const Messages messages = type_messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages.front(), "Adding graph with 2 nodes linked by c -> a");
    Messages adds(messages.begin() + 1, messages.end() - 1);
    std::sort(adds.begin(), adds.end());
    EXPECT_EQ(adds, (Messages{"Adding node to graph: a", "Adding node to graph: b"}));
    EXPECT_EQ(messages.back(), "Add dependency 'c' -> 'a'");  // a already has depth 1 + 1

    EXPECT_EQ(depth_of(graph, "a"), 2);
    EXPECT_EQ(depth_of(graph, "b"), 3);
    EXPECT_EQ(graph.read("a")->dependents, (Names{"c"}));
    EXPECT_EQ(graph.read("c")->dependencies, (Names{"a"}));
    EXPECT_EQ(graph.read("b")->dependents, (Names{"a"}));
    EXPECT_EQ(graph.num_dependencies(), 3u);
}

TEST_F(CombinationTest, AddGraphGivesShortestDistancesFromTheNewRoot) {
    // Every node of `other` is reachable from t by a long and a short path; whatever order the
    // sets yield, each must end at its shortest distance, counted from `from` at depth 4.
    DepGraph other = graph_of("t", {{"t", "p"},
                                    {"t", "q"},
                                    {"p", "q"},
                                    {"q", "p"},
                                    {"p", "l1"},
                                    {"l1", "l2"},
                                    {"l2", "l3"},
                                    {"l3", "e"},
                                    {"q", "e"},
                                    {"e", "t"}});
    other.add(node("unreached", 9));
    DepGraph graph = graph_of("r", {{"r", "s1"}, {"s1", "s2"}, {"s2", "s3"}, {"s3", "f"}});

    graph.add_graph("f", "t", std::move(other));
    const std::map<std::string, std::int32_t> expected{{"t", 5},  {"p", 6},  {"q", 6}, {"e", 7},
                                                       {"l1", 7}, {"l2", 8}, {"l3", 9}};
    for (const auto& [name, depth] : expected)
        EXPECT_EQ(depth_of(graph, name), depth) << name;
    // Cleared and not reached from t: left without a depth.
    EXPECT_EQ(depth_of(graph, "unreached"), std::nullopt);
    // No edge of the spliced part leaves a node more than one step deeper than its importer.
    graph.for_each_node([&](const DepNode& importer) {
        if (!importer.depth || !expected.contains(importer.name)) return;
        for (const auto& imported : importer.dependencies) {
            EXPECT_LE(*depth_of(graph, imported), *importer.depth + 1)
                << importer.name << " -> " << imported;
        }
    });
}

TEST_F(CombinationTest, AddGraphOverNodesTheGraphAlreadyHolds) {
    DepGraph graph = graph_of("r", {{"r", "shared"}, {"r", "f"}, {"f", "g"}, {"g", "h"}});
    graph.write("shared")->spec.origin = "/p/shared.py";
    graph.add(node("deep", 10));
    DepGraph other = graph_of("t", {{"t", "shared"}, {"t", "deep"}, {"t", "x"}});
    other.write("shared")->spec.origin = "/p/shared.py";
    other.write("shared")->spec.parent = "elsewhere";

    graph.add_graph("h", "t", std::move(other));  // h at 3, so t at 4 and its imports at 5
    EXPECT_EQ(depth_of(graph, "t"), 4);
    EXPECT_EQ(depth_of(graph, "x"), 5);
    EXPECT_EQ(depth_of(graph, "shared"), 1);  // the graph's own depth was smaller
    EXPECT_EQ(depth_of(graph, "deep"), 5);    // the spliced depth was smaller
    EXPECT_EQ(graph.read("shared")->spec.parent, "");
    EXPECT_EQ(graph.read("shared")->dependents, (Names{"r", "t"}));
    EXPECT_EQ(graph.read("t")->dependents, (Names{"h"}));
}

TEST_F(CombinationTest, AddGraphFailuresLeaveTheGraphUnchanged) {
    struct Case {
        std::string from;
        std::string to;
        std::string message;
        bool from_without_depth = false;
        bool dangling_dependency = false;
    };
    const Case cases[] = {
        {"missing", "t", "Node does not exist on graph: missing"},
        {"missing", "absent", "Node does not exist on graph: missing"},
        {"f", "absent", "Node does not exist on graph: absent"},
        {"f", "t", "called `Option::unwrap()` on a `None` value", true},
        {"f", "t", "called `Option::unwrap()` on a `None` value", false, true},
    };
    for (const auto& c : cases) {
        DepGraph graph = graph_of("r", {{"r", "f"}});
        if (c.from_without_depth) graph.write("f")->depth.reset();
        DepGraph other = graph_of("t", {{"t", "u"}});
        if (c.dangling_dependency) other.write("u")->dependencies.insert("ghost");
        const auto before = snapshot(graph);
        testing::clear_captured_records();

        EXPECT_EQ(failure_of([&] { graph.add_graph(c.from, c.to, std::move(other)); }), c.message);
        EXPECT_EQ(type_messages(),
                  (Messages{"Adding graph with 2 nodes linked by " + c.from + " -> " + c.to}));
        EXPECT_EQ(snapshot(graph), before);
        for (const auto& entry : graph.nodes())
            EXPECT_TRUE(entry.second.is_free());
    }
}

// ---- size ----

TEST_F(CombinationTest, LongChainsAndWideGraphsNeedNoRecursion) {
    QuietLog quiet;
    constexpr int kChain = 10'000;
    DepGraph chain;
    chain.add(node("c0", 0));
    for (int i = 1; i < kChain; ++i) {
        chain.add(node("c" + std::to_string(i)));
        chain.add_dependency("c" + std::to_string(i - 1), "c" + std::to_string(i));
    }
    chain.add_dependency("c" + std::to_string(kChain - 1), "c0");  // and back round

    DepGraph graph;
    graph.add(node("<terminal>", 0));
    graph.add_graph("<terminal>", "c0", chain.clone_from("c0"));
    EXPECT_EQ(graph.size(), static_cast<std::size_t>(kChain) + 1);
    EXPECT_EQ(depth_of(graph, "c" + std::to_string(kChain - 1)), kChain);

    DepGraph copy(chain);
    copy.merge(std::move(chain));
    EXPECT_EQ(copy.num_dependencies(), static_cast<std::size_t>(kChain));

    constexpr int kWide = 100'000;
    DepGraph wide;
    wide.add(node("root", 0));
    for (int i = 0; i < kWide; ++i) {
        const std::string name = "m" + std::to_string(i);
        wide.add(node(name));
        wide.add_dependency(i == 0 ? "root" : "m" + std::to_string(i / 2), name);
    }
    // m2 heads the indices whose binary form starts with 10: 2^16 - 1 of them below 100,000.
    const DepGraph part = wide.clone_from("m2");
    EXPECT_EQ(part.size(), 65'535u);
    EXPECT_EQ(depth_of(wide, "m99999"), 18);  // root, m0, then one level per binary digit
}

}  // namespace
}  // namespace modweave::core
