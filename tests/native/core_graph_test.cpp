#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/types.hpp"
#include "core_test_support.hpp"

namespace modweave::core {
namespace {

using namespace test_support;
using Names = ImportSet;

class GraphTest : public ::testing::Test {
protected:
    void SetUp() override { testing::clear_captured_records(); }
};

// ---- DepNode ----

TEST(DepNodeTest, NewTakesNameFromSpecAndStartsWithoutRelations) {
    struct Case {
        importlib::ModuleSpec spec;
        std::optional<std::int32_t> depth;
    };
    const Case cases[] = {
        {spec("<terminal>"), 0},
        {{"pkg.sub", "/p/pkg/sub/__init__.py", "pkg.sub", std::vector<std::string>{"/p/s"}},
         std::nullopt},
    };
    for (const auto& c : cases) {
        const DepNode made(c.spec, c.depth);
        EXPECT_EQ(made.name, c.spec.name);
        EXPECT_EQ(made.spec, c.spec);
        EXPECT_TRUE(made.dependencies.empty());
        EXPECT_TRUE(made.dependents.empty());
        EXPECT_EQ(made.depth, c.depth);  // absent stays absent, not 0
    }
}

TEST(DepNodeTest, CloneSharesNothing) {
    DepNode original = node("a", 1, "/p/a.py");
    original.dependencies = {"b"};
    original.dependents = {"r"};
    DepNode copy = original.clone();
    EXPECT_EQ(copy, original);

    copy.dependencies.insert("c");
    copy.dependents.clear();
    copy.spec.origin->append("c");
    EXPECT_EQ(original.dependencies, (Names{"b"}));
    EXPECT_EQ(original.dependents, (Names{"r"}));
    EXPECT_EQ(original.spec.origin, "/p/a.py");

    original.dependencies.clear();
    EXPECT_EQ(copy.dependencies, (Names{"b", "c"}));
}

// ---- add, counts, lookups ----

TEST_F(GraphTest, AddStoresTheNodeLogsAndRefusesATakenName) {
    DepGraph graph;
    EXPECT_EQ(graph.add(node("a", 0, "/p/a.py"))->spec.origin, "/p/a.py");
    graph.add(node("A"));  // names are exact byte strings: case makes another node
    EXPECT_EQ(failure_of([&] { graph.add(node("a", 5, "/q/a.py")); }),
              "assertion failed: !self.nodes.contains_key(&node.name)");
    EXPECT_EQ(graph.size(), 2u);
    EXPECT_EQ(graph.get("a"), node("a", 0, "/p/a.py"));
    EXPECT_FALSE(graph.has_node("a "));
    EXPECT_EQ(type_messages(),
              (std::vector<std::string>{"Adding node to graph: a", "Adding node to graph: A"}));
}

TEST_F(GraphTest, NumDependenciesCountsEdges) {
    DepGraph empty;
    EXPECT_EQ(empty.num_dependencies(), 0u);
    EXPECT_EQ(graph_of("r", {}).num_dependencies(), 0u);
    EXPECT_EQ(graph_of("r", {{"r", "a"}, {"a", "b"}, {"r", "b"}, {"b", "a"}, {"r", "a"}})
                  .num_dependencies(),
              4u);
}

TEST_F(GraphTest, GetCopiesOrFailsForUnknownNames) {
    DepGraph graph = graph_of("r", {{"r", "a"}});
    DepNode copy = graph.get("a");
    EXPECT_EQ(copy.dependents, (Names{"r"}));
    copy.dependents.clear();
    EXPECT_EQ(graph.read("a")->dependents, (Names{"r"}));

    EXPECT_EQ(failure_of([&] { graph.get("zz"); }), "Node does not exist on graph: zz");
    EXPECT_EQ(failure_of([&] { graph.get(""); }), "Node does not exist on graph: ");
}

TEST_F(GraphTest, ViewsEnumerateInMapOrder) {
    DepGraph graph;
    graph.add(node("<terminal>", 0));
    graph.add(node("a.b", std::nullopt, "/p/a/b.py"));
    graph.add(node("a.b.c", std::nullopt, "built-in"));
    graph.add(node("a.bc", std::nullopt, "/p/a/b.py"));  // equal origins are listed twice
    graph.add(node("a"));

    std::vector<std::string> map_order, origins, scoped;
    for (const auto& [name, stored] : graph.nodes()) {
        map_order.push_back(name);
        if (const auto& origin = stored.read()->spec.origin) origins.push_back(*origin);
        if (name.starts_with("a.b")) scoped.push_back(name);
    }
    const auto names_of = [](const std::vector<DepNode>& nodes) {
        std::vector<std::string> names;
        for (const auto& each : nodes)
            names.push_back(each.name);
        return names;
    };
    EXPECT_EQ(graph.names(), map_order);
    EXPECT_EQ(graph.origins(), origins);
    EXPECT_EQ(origins.size(), 3u);
    EXPECT_EQ(names_of(graph.get_all_scoped("a.b")), scoped);
    EXPECT_EQ(scoped.size(), 3u);
    EXPECT_EQ(names_of(graph.get_all_scoped("")), map_order);
    EXPECT_TRUE(graph.get_all_scoped("a.b.c.d").empty());  // longer than every name it prefixes
}

// ---- add_dependency ----

TEST_F(GraphTest, DepthsInitialiseLowerAndStayLocal) {
    DepGraph graph;
    graph.add(node("R", 0));
    for (const char* name : {"A", "B", "C"})
        graph.add(node(name));
    testing::clear_captured_records();

    graph.add_dependency("R", "A");
    graph.add_dependency("A", "B");
    graph.add_dependency("B", "C");
    graph.add_dependency("R", "B");
    graph.add_dependency("B", "A");  // a cycle offers 2 to A, which has 1

    EXPECT_EQ(type_messages(), (std::vector<std::string>{
                                   "Add dependency 'R' -> 'A'",
                                   "Initializing depth of node 'A' to 1",
                                   "Add dependency 'A' -> 'B'",
                                   "Initializing depth of node 'B' to 2",
                                   "Add dependency 'B' -> 'C'",
                                   "Initializing depth of node 'C' to 3",
                                   "Add dependency 'R' -> 'B'",
                                   "Found shorter depth to 'B' new depth is 1",
                                   "Add dependency 'B' -> 'A'",
                               }));
    for (const auto& record : testing::captured_records()) {
        EXPECT_EQ(record.level, logging_bridge::Level::Debug);
    }
    EXPECT_EQ(depth_of(graph, "R"), 0);
    EXPECT_EQ(depth_of(graph, "A"), 1);
    EXPECT_EQ(depth_of(graph, "B"), 1);
    EXPECT_EQ(depth_of(graph, "C"), 3);  // lowering B does not revisit what B imports
    EXPECT_EQ(graph.read("A")->dependents, (Names{"R", "B"}));
    EXPECT_EQ(graph.read("B")->dependencies, (Names{"A", "C"}));
    EXPECT_EQ(graph.num_dependencies(), 5u);
}

TEST_F(GraphTest, RepeatedEdgeChangesNoSetButCanStillLowerTheDepth) {
    DepGraph graph = graph_of("R", {{"R", "X"}, {"X", "Y"}, {"Y", "A"}, {"A", "B"}});
    graph.add_dependency("R", "A");  // A from 3 to 1; B keeps 4
    ASSERT_EQ(depth_of(graph, "B"), 4);
    const auto sets_before = snapshot(graph);
    testing::clear_captured_records();

    graph.add_dependency("A", "B");
    EXPECT_EQ(type_messages(),
              (std::vector<std::string>{"Add dependency 'A' -> 'B'",
                                        "Found shorter depth to 'B' new depth is 2"}));
    EXPECT_EQ(depth_of(graph, "B"), 2);
    EXPECT_EQ(graph.read("B")->dependents, sets_before.at("B").dependents);
    EXPECT_EQ(graph.read("A")->dependencies, sets_before.at("A").dependencies);
    EXPECT_EQ(graph.num_dependencies(), 5u);

    testing::clear_captured_records();
    graph.add_dependency("A", "B");  // equal candidate: no depth record
    EXPECT_EQ(type_messages(), (std::vector<std::string>{"Add dependency 'A' -> 'B'"}));
}

TEST_F(GraphTest, AddDependencyFailuresLogFirstAndCheckFromBeforeTo) {
    struct Case {
        std::string from;
        std::string to;
        std::string message;
    };
    const Case cases[] = {
        {"x", "a", "Node does not exist on graph: x"},
        {"a", "y", "Node does not exist on graph: y"},
        {"x", "y", "Node does not exist on graph: x"},  // both unknown: `from` is named
        {"", "a", "Node does not exist on graph: "},
    };
    for (const auto& c : cases) {
        DepGraph graph = graph_of("r", {{"r", "a"}});
        const auto before = snapshot(graph);
        testing::clear_captured_records();
        EXPECT_EQ(failure_of([&] { graph.add_dependency(c.from, c.to); }), c.message);
        EXPECT_EQ(type_messages(),
                  (std::vector<std::string>{"Add dependency '" + c.from + "' -> '" + c.to + "'"}));
        EXPECT_EQ(snapshot(graph), before);
    }
}

TEST_F(GraphTest, EdgeFromNodeWithoutDepthIsRecordedBeforeTheFailure) {
    DepGraph graph;
    graph.add(node("a"));
    graph.add(node("b"));
    testing::clear_captured_records();

    EXPECT_EQ(failure_of([&] { graph.add_dependency("a", "b"); }),
              "Attempted to add dependency from node with uninitialized depth named: a");
    EXPECT_EQ(type_messages(), (std::vector<std::string>{"Add dependency 'a' -> 'b'"}));
    EXPECT_EQ(graph.num_dependencies(), 1u);
    EXPECT_EQ(graph.read("b")->dependents, (Names{"a"}));
    EXPECT_EQ(graph.read("b")->depth, std::nullopt);
    // The failure released both nodes.
    EXPECT_TRUE(graph.nodes().at("a").is_free());
    EXPECT_TRUE(graph.nodes().at("b").is_free());
    graph.write("a")->depth = 3;
    graph.add_dependency("a", "b");
    EXPECT_EQ(depth_of(graph, "b"), 4);
}

TEST_F(GraphTest, DepthAtTheTopOfTheRangeCannotGrow) {
    DepGraph graph;
    graph.add(node("a", std::numeric_limits<std::int32_t>::max()));
    graph.add(node("b"));
    EXPECT_EQ(failure_of([&] { graph.add_dependency("a", "b"); }), "attempt to add with overflow");
    EXPECT_EQ(depth_of(graph, "b"), std::nullopt);
    EXPECT_TRUE(graph.nodes().at("a").is_free());
}

// ---- per-node access ----

TEST_F(GraphTest, AccessConflictsFailWithoutWaiting) {
    DepGraph graph = graph_of("r", {{"r", "a"}});
    constexpr auto borrow_mut = "already borrowed: BorrowMutError";
    constexpr auto borrow = "already mutably borrowed: BorrowError";
    {
        const NodeReadGuard first = graph.read("a");
        const NodeReadGuard second = graph.read("a");  // readers share
        EXPECT_EQ(failure_of([&] { graph.write("a"); }), borrow_mut);
    }
    {
        const NodeWriteGuard writer = graph.write("a");
        EXPECT_EQ(failure_of([&] { graph.read("a"); }), borrow);
        EXPECT_EQ(failure_of([&] { graph.write("a"); }), borrow_mut);
        EXPECT_EQ(failure_of([&] { graph.get("a"); }), borrow);
        EXPECT_EQ(failure_of([&] { graph.num_dependencies(); }), borrow);
        EXPECT_EQ(failure_of([&] { DepGraph copy(graph); }), borrow);
    }
    EXPECT_TRUE(graph.nodes().at("a").is_free());
    EXPECT_NO_THROW(graph.write("a"));
}

TEST_F(GraphTest, ConflictingEdgesFailWithoutHalfAnEdge) {
    DepGraph graph;
    graph.add(node("r", 0));
    {
        const NodeReadGuard held = graph.add(node("a"));  // not yet released by the caller
        EXPECT_EQ(failure_of([&] { graph.add_dependency("r", "a"); }),
                  "already borrowed: BorrowMutError");
        EXPECT_EQ(failure_of([&] { graph.add_dependency("a", "r"); }),
                  "already borrowed: BorrowMutError");
        EXPECT_EQ(held->dependents.size() + held->dependencies.size(), 0u);
    }
    EXPECT_EQ(failure_of([&] { graph.add_dependency("r", "r"); }),  // an edge to itself
              "already borrowed: BorrowMutError");
    graph.add_dependency("r", "a");
    EXPECT_EQ(graph.read("r")->dependencies, (Names{"a"}));
    EXPECT_TRUE(graph.read("r")->dependents.empty());  // the self-edge left nothing behind
}

// ---- copy ----

TEST_F(GraphTest, CopyIsDeepAndStartsFree) {
    DepGraph graph = graph_of("r", {{"r", "a"}, {"a", "b"}});
    const NodeReadGuard held = graph.read("a");
    DepGraph copy(graph);
    EXPECT_EQ(snapshot(copy), snapshot(graph));
    for (const auto& entry : copy.nodes())
        EXPECT_TRUE(entry.second.is_free()) << entry.first;
    EXPECT_FALSE(graph.nodes().at("a").is_free());

    copy.add(node("c"));
    copy.add_dependency("a", "c");
    EXPECT_FALSE(graph.has_node("c"));
    EXPECT_EQ(held->dependencies, (Names{"b"}));
    // A node that only gains an importer is copied first too, when the original holds it.
    copy.add_dependency("r", "b");
    EXPECT_EQ(copy.read("b")->dependents, (Names{"a", "r"}));
    EXPECT_EQ(graph.read("b")->dependents, (Names{"a"}));

    DepGraph assigned;
    assigned = copy;
    EXPECT_EQ(snapshot(assigned), snapshot(copy));
}

TEST_F(GraphTest, SharedGraphIsOneUntilEitherSideChanges) {
    DepGraph graph = graph_of("r", {{"r", "a"}, {"a", "b"}});
    const auto before = snapshot(graph);
    DepGraph shared = graph.share();
    EXPECT_EQ(&shared.nodes(), &graph.nodes());

    shared.add(node("c"));
    shared.add_dependency("a", "c");
    EXPECT_NE(&shared.nodes(), &graph.nodes());
    EXPECT_EQ(snapshot(graph), before);
    EXPECT_EQ(shared.read("a")->dependencies, (Names{"b", "c"}));

    // A graph that holds its map alone changes it in place.
    const DepGraph::NodeMap* own = &graph.nodes();
    graph.add_dependency("r", "b");
    EXPECT_EQ(&graph.nodes(), own);
    EXPECT_EQ(shared.read("b")->dependents, (Names{"a"}));
}

}  // namespace
}  // namespace modweave::core
