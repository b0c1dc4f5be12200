#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/builder.hpp"
#include "core_builder_support.hpp"
#include "core_test_support.hpp"
#include "test_sink.hpp"

namespace modweave::core {
namespace {

using namespace builder_test;
using test_support::failure_of;
using test_support::QuietLog;
using Edges = std::set<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;

constexpr std::string_view kRoot = "<terminal>";

// The records of the builder and of the graph operations, in order, each as "B message" or
// "T message", with the level in front when it is not Debug.
Lines events() {
    Lines lines;
    for (const auto& record : testing::captured_records()) {
        std::string line;
        if (record.target == logging_bridge::targets::core_builder) {
            line = "B ";
        } else if (record.target == logging_bridge::targets::core_types) {
            line = "T ";
        } else {
            continue;
        }
        if (record.level == logging_bridge::Level::Info) line += "INFO ";
        if (record.level == logging_bridge::Level::Warn) line += "WARN ";
        lines.push_back(line + record.message);
    }
    return lines;
}

// The texts after `prefix` of the builder's records that begin with it, in order.
Lines builder_messages_after(std::string_view prefix) {
    Lines found;
    for (const auto& message : testing::captured_messages(logging_bridge::targets::core_builder)) {
        if (message.starts_with(prefix)) found.push_back(message.substr(prefix.size()));
    }
    return found;
}

Lines warnings() {
    Lines found;
    for (const auto& record : testing::captured_records()) {
        if (record.level == logging_bridge::Level::Warn) found.push_back(record.message);
    }
    return found;
}

Lines expanding(const std::string& name) {
    const std::string rule(36, '>');
    return {"B " + rule, "B Expanding '" + name + "'", "B " + rule};
}

Lines done(const std::string& name) {
    const std::string rule(36, '<');
    return {"B " + rule, "B Done '" + name + "'", "B " + rule};
}

Lines concat(std::initializer_list<Lines> parts) {
    Lines all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

void expect_resting(const GraphBuilder& builder) {
    EXPECT_TRUE(builder.graph.empty());
    EXPECT_TRUE(builder.in_progress.empty());
    EXPECT_EQ(builder.processed, 0u);
    EXPECT_EQ(builder.from_cache, 0u);
}

class BuilderTest : public ::testing::Test {
protected:
    void SetUp() override { testing::clear_captured_records(); }

    ScratchDirectory directory;
    FakeHost host{directory};
};

// ---- the two worked examples ----

TEST_F(BuilderTest, TraversalExampleExpandsDepthFirstInOrder) {
    host.module("a", "import b\n");
    host.module("b", "import a\n");
    GraphBuilder builder;
    const DepGraph graph = builder.build("import a\nimport b\n", std::nullopt, host);

    EXPECT_EQ(
        events(),
        concat({{"T Adding node to graph: <terminal>"},
                expanding("<terminal>"),
                {"B Processing dependency: <terminal> -> a",
                 "B Loading file: " + host.origin_of("a"), "T Adding node to graph: a",
                 "T Add dependency '<terminal>' -> 'a'", "T Initializing depth of node 'a' to 1"},
                expanding("a"),
                {"B Processing dependency: a -> b", "B Loading file: " + host.origin_of("b"),
                 "T Adding node to graph: b", "T Add dependency 'a' -> 'b'",
                 "T Initializing depth of node 'b' to 2"},
                expanding("b"),
                {"B Processing dependency: b -> a", "T Add dependency 'b' -> 'a'"},
                done("b"),
                done("a"),
                {"B Processing dependency: <terminal> -> b", "T Add dependency '<terminal>' -> 'b'",
                 "T Found shorter depth to 'b' new depth is 1"},
                done("<terminal>"),
                {"B INFO Processed 4 dependency relationships."}}));
    EXPECT_EQ(edges_of(graph),
              (Edges{{"<terminal>", "a"}, {"<terminal>", "b"}, {"a", "b"}, {"b", "a"}}));
    EXPECT_EQ(depths_of(graph), (std::map<std::string, std::optional<std::int32_t>>{
                                    {"<terminal>", 0}, {"a", 1}, {"b", 1}}));
    EXPECT_EQ(host.lookups, (Lines{"a", "b", "a", "b"}));
    EXPECT_EQ(host.checkpoints, 5u);  // one per lookup, one before the summary

    expect_resting(builder);
    ASSERT_TRUE(builder.cache.has_value());
    EXPECT_EQ(test_support::snapshot(*builder.cache), test_support::snapshot(graph));
}

TEST_F(BuilderTest, CacheExampleCopiesCachedModulesWithoutReadingThem) {
    host.module("a", "import b\n");
    host.module("b", "");
    host.module("c", "import a\n");
    GraphBuilder builder;
    const DepGraph first = builder.build("import a\n", std::nullopt, host);
    const auto first_nodes = test_support::snapshot(first);

    // Were the cached modules read again, the build would warn that their files are gone.
    std::filesystem::remove(host.origin_of("a"));
    std::filesystem::remove(host.origin_of("b"));
    testing::clear_captured_records();
    const DepGraph second = builder.build("import c\n", std::nullopt, host);

    Lines recorded = events();
    Lines expected = concat(
        {{"T Adding node to graph: <terminal>"},
         expanding("<terminal>"),
         {"B Processing dependency: <terminal> -> c", "B Loading file: " + host.origin_of("c"),
          "T Adding node to graph: c", "T Add dependency '<terminal>' -> 'c'",
          "T Initializing depth of node 'c' to 1"},
         expanding("c"),
         {"B Processing dependency: c -> a",
          // clone_from, in name order
          "T Adding node to graph: a", "T Adding node to graph: b",
          "T Adding graph with 2 nodes linked by c -> a",
          // the merge inside add_graph, in map order
          "T Adding node to graph: a", "T Adding node to graph: b", "T Add dependency 'c' -> 'a'"},
         done("c"),
         done("<terminal>"),
         {"B INFO Processed 3 dependency relationships (2 from cache).",
          // the merge into the cache, which lacked only c
          "T Adding node to graph: c"}});
    ASSERT_EQ(recorded.size(), expected.size());
    // The merge inside add_graph adds a and b in the unspecified order of a hash map.
    const auto merge_records =
        std::find(recorded.begin(), recorded.end(), "T Adding graph with 2 nodes linked by c -> a");
    ASSERT_GE(std::distance(merge_records, recorded.end()), 3);
    std::sort(merge_records + 1, merge_records + 3);
    EXPECT_EQ(recorded, expected);

    EXPECT_EQ(edges_of(second), (Edges{{"<terminal>", "c"}, {"c", "a"}, {"a", "b"}}));
    EXPECT_EQ(depths_of(second), (std::map<std::string, std::optional<std::int32_t>>{
                                     {"<terminal>", 0}, {"c", 1}, {"a", 2}, {"b", 3}}));
    // The copy keeps its specs, so the origins still name the (deleted) files.
    EXPECT_EQ(second.read("b")->spec.origin, host.origin_of("b"));

    ASSERT_TRUE(builder.cache.has_value());
    EXPECT_EQ(edges_of(*builder.cache),
              (Edges{{"<terminal>", "a"}, {"<terminal>", "c"}, {"c", "a"}, {"a", "b"}}));
    EXPECT_EQ(test_support::snapshot(first), first_nodes);  // an earlier result stays as it was
    expect_resting(builder);
}

TEST_F(BuilderTest, CachedDottedModuleAttachesItsCachedParentFirst) {
    struct Case {
        std::string title;
        std::string package_source;
        Edges edges;
        std::string summary;
    };
    const Case cases[] = {
        {"each part copied on its own", "", Edges{{"<terminal>", "p"}, {"<terminal>", "p.m"}},
         "Processed 2 dependency relationships (2 from cache)."},
        // The copy of p already holds p.m, so p.m only gets the relationship.
        {"parent copy reaches the module", "import p.m\n",
         Edges{{"<terminal>", "p"}, {"<terminal>", "p.m"}, {"p", "p.m"}},
         "Processed 3 dependency relationships (2 from cache)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        ScratchDirectory scratch;
        FakeHost files(scratch);
        files.package("p", c.package_source);
        files.module("p.m", "");
        GraphBuilder builder;
        const DepGraph first = builder.build("import p.m\n", std::nullopt, files);
        testing::clear_captured_records();
        const DepGraph second = builder.build("import p.m\n", std::nullopt, files);

        EXPECT_EQ(edges_of(second), c.edges);
        EXPECT_EQ(edges_of(second), edges_of(first));
        EXPECT_EQ(builder_messages_after("Processed "), Lines{c.summary.substr(10)});
        EXPECT_EQ(builder_messages_after("Processing dependency: "),
                  (Lines{"<terminal> -> p.m", "<terminal> -> p"}));
        EXPECT_TRUE(builder_messages_after("Loading file: ").empty());
        EXPECT_EQ(depths_of(second).at("p.m"), 1);
    }
}

// ---- one build, one situation each ----

struct BuildCase {
    std::string title;
    std::function<void(FakeHost&, const ScratchDirectory&)> setup;
    std::string source;
    std::optional<std::string> package;
    Edges edges;
    std::size_t processed;
    Lines lookups;
    Lines expanded;  // "Expanding" records, the root first
    Lines unresolved = {};
    Lines warned = {};
};

TEST_F(BuilderTest, BuildsEachSituationAsSpecified) {
    const BuildCase cases[] = {
        {"a dotted import attaches the packages first, outermost first",
         [](FakeHost& h, const auto&) {
             h.package("a", "");
             h.package("a.b", "");
             h.module("a.b.c", "");
         },
         "import a.b.c\n", std::nullopt,
         Edges{{"<terminal>", "a"}, {"<terminal>", "a.b"}, {"<terminal>", "a.b.c"}}, 3,
         Lines{"a.b.c", "a.b", "a"}, Lines{"<terminal>", "a", "a.b", "a.b.c"}},
        {"from a package: submodules attached, other names looked up and dropped",
         [](FakeHost& h, const auto&) {
             h.package("p", "");
             h.module("p.x", "");
         },
         "from p import x, y\n", std::nullopt, Edges{{"<terminal>", "p"}, {"<terminal>", "p.x"}},
         // p again as the parent of p.x: counted, though it only repeats the relationship
         3, Lines{"p", "p", "p.x", "p", "p.y"}, Lines{"<terminal>", "p", "p.x"}, Lines{"p.y"}},
        {"from a plain module: the names are attributes and never looked up",
         [](FakeHost& h, const auto&) { h.module("m", ""); }, "from m import f, g\n", std::nullopt,
         Edges{{"<terminal>", "m"}}, 1, Lines{"m", "m"}, Lines{"<terminal>", "m"}},
        {"from an unknown module", [](FakeHost&, const auto&) {}, "from nowhere import f\n",
         std::nullopt, Edges{}, 0, Lines{"nowhere", "nowhere"}, Lines{"<terminal>"},
         Lines{"nowhere"}},
        {"from . in a package's own source skips the package and takes the submodule",
         [](FakeHost& h, const auto&) {
             h.package("p", "from . import x\n");
             h.module("p.x", "");
         },
         "import p\n", std::nullopt, Edges{{"<terminal>", "p"}, {"p", "p.x"}}, 2,
         Lines{"p", "p", "p", "p.x", "p"}, Lines{"<terminal>", "p", "p.x"}},
        {"a relative import of the root resolves against the given package",
         [](FakeHost& h, const auto&) {
             h.package("pkg", "");
             h.module("pkg.sib", "");
         },
         "from .sib import x\n", "pkg", Edges{{"<terminal>", "pkg"}, {"<terminal>", "pkg.sib"}}, 2,
         Lines{"pkg.sib", "pkg", "pkg.sib"}, Lines{"<terminal>", "pkg", "pkg.sib"}},
        {"a module importing itself", [](FakeHost& h, const auto&) { h.module("a", "import a\n"); },
         "import a\n", std::nullopt, Edges{{"<terminal>", "a"}}, 1, Lines{"a", "a"},
         Lines{"<terminal>", "a"}},
        {"the same module twice: one relationship, counted twice",
         [](FakeHost& h, const auto&) { h.module("a", ""); }, "import a\nimport a as b\n",
         std::nullopt, Edges{{"<terminal>", "a"}}, 2, Lines{"a", "a"}, Lines{"<terminal>", "a"}},
        {"a spec under another name: its name and its file count",
         [](FakeHost& h, const auto&) {
             h.module("real", "import b\n");
             h.module("b", "");
             h.alias("nick", "real");
         },
         "import nick\n", std::nullopt, Edges{{"<terminal>", "real"}, {"real", "b"}}, 2,
         Lines{"nick", "b"}, Lines{"<terminal>", "real", "b"}},
        {"a parent's expansion reaches the module before it is attached",
         [](FakeHost& h, const auto&) {
             h.package("p", "import p.m\n");
             h.module("p.m", "");
         },
         "import p.m\n", std::nullopt,
         Edges{{"<terminal>", "p"}, {"p", "p.m"}, {"<terminal>", "p.m"}}, 3,
         Lines{"p.m", "p", "p.m", "p"}, Lines{"<terminal>", "p", "p.m"}},
        {"modules without a source are attached but not expanded",
         [](FakeHost& h, const ScratchDirectory& d) {
             h.spec("sys", "built-in");
             h.spec("zipimport", "frozen");
             h.spec("fast", d.write("fast.cpython-312-x86_64-linux-gnu.so", "import a\n"));
             h.spec("shout", d.write("SHOUT.PY", "import a\n"));
             h.spec("ns", std::nullopt);
             h.module("a", "");
         },
         "import sys, zipimport, fast, shout, ns\n", std::nullopt,
         Edges{{"<terminal>", "sys"},
               {"<terminal>", "zipimport"},
               {"<terminal>", "fast"},
               {"<terminal>", "shout"},
               {"<terminal>", "ns"}},
         5, Lines{"sys", "zipimport", "fast", "shout", "ns"}, Lines{"<terminal>"}},
        {"an origin without extension warns",
         [](FakeHost& h, const ScratchDirectory& d) { h.spec("tool", d.write("tool", "x\n")); },
         "import tool\n", std::nullopt, Edges{{"<terminal>", "tool"}}, 1, Lines{"tool"},
         Lines{"<terminal>"}, Lines{},
         Lines{"Unable to load extension for spec 'tool' with origin '" +
               (directory.path() / "tool").string() + "' skipping."}},
        {"a name that does not resolve adds and counts nothing", [](FakeHost&, const auto&) {},
         "import nothere.sub\n", std::nullopt, Edges{}, 0, Lines{"nothere.sub"},
         Lines{"<terminal>"}, Lines{"nothere.sub"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        testing::clear_captured_records();
        FakeHost files(directory);
        c.setup(files, directory);
        GraphBuilder builder;
        const DepGraph graph = builder.build(c.source, c.package, files);

        EXPECT_EQ(edges_of(graph), c.edges);
        EXPECT_EQ(builder_messages_after("Processed "),
                  Lines{std::to_string(c.processed) + " dependency relationships."});
        EXPECT_EQ(files.lookups, c.lookups);
        EXPECT_EQ(builder_messages_after("Expanding '"), [&] {
            Lines quoted;
            for (const auto& name : c.expanded)
                quoted.push_back(name + "'");
            return quoted;
        }());
        Lines unresolved;
        for (const auto& text : builder_messages_after("!!!! Unable to find spec for name: '")) {
            unresolved.push_back(text.substr(0, text.size() - std::string_view("' !!!!").size()));
        }
        EXPECT_EQ(unresolved, c.unresolved);
        EXPECT_EQ(warnings(), c.warned);
        EXPECT_EQ(graph.read(kRoot)->depth, 0);
        graph.for_each_node([](const DepNode& node) { EXPECT_TRUE(node.depth.has_value()); });
    }
}

TEST_F(BuilderTest, RootSpecCarriesThePackage) {
    struct Case {
        std::optional<std::string> package;
        importlib::ModuleSpec root;
    };
    const Case cases[] = {
        {std::nullopt, {"<terminal>", std::nullopt, "<terminal>", std::nullopt}},
        {"pkg.sub", {"<terminal>", std::nullopt, "pkg.sub", std::vector<std::string>{}}},
    };
    for (const auto& c : cases) {
        GraphBuilder builder;
        const DepGraph graph = builder.build("x = 1\n", c.package, host);
        EXPECT_EQ(graph.size(), 1u);
        EXPECT_EQ(graph.read(kRoot)->spec, c.root);
    }
    EXPECT_EQ(builder_messages_after("Processed "), Lines(2, "0 dependency relationships."));
}

TEST_F(BuilderTest, UnopenableSourcesWarnAndReportOnStandardError) {
    host.spec("gone", (directory.path() / "gone.py").string());
    std::filesystem::create_directories(directory.path() / "folder.py");
    host.spec("folder", (directory.path() / "folder.py").string());
    host.module("after", "");
    GraphBuilder builder;

    FdCapture standard_error(2);
    const DepGraph graph =
        builder.build("import gone\nimport folder\nimport after\n", std::nullopt, host);
    const std::string written = standard_error.finish();

    EXPECT_EQ(written,
              "System error: No such file or directory (os error 2)\n"
              "System error: Is a directory (os error 21)\n");
    EXPECT_EQ(warnings(), (Lines{"Unable to load file for spec 'gone' with origin '" +
                                     host.origin_of("gone") + "' skipping.",
                                 "Unable to load file for spec 'folder' with origin '" +
                                     host.origin_of("folder") + "' skipping."}));
    EXPECT_EQ(edges_of(graph),
              (Edges{{"<terminal>", "gone"}, {"<terminal>", "folder"}, {"<terminal>", "after"}}));
    EXPECT_EQ(builder_messages_after("Expanding '"), (Lines{"<terminal>'", "after'"}));
}

TEST_F(BuilderTest, VerboseDumpsEveryParsedListInExpansionOrder) {
    host.module("a", "from os import path\n");
    for (const bool verbose : {true, false}) {
        SCOPED_TRACE(verbose);
        GraphBuilder builder;
        builder.verbose = verbose;
        FdCapture standard_output(1);
        builder.build("import a as b\nx = 1\n", std::nullopt, host);
        const std::string written = standard_output.finish();
        EXPECT_EQ(written, verbose ? "Import: {\n"
                                     "  {\n"
                                     "    name: a\n"
                                     "    asname: b\n"
                                     "  }\n"
                                     "}\n"
                                     "ImportFrom: {\n"
                                     "  level: 0\n"
                                     "  module: os\n"
                                     "  {\n"
                                     "    name: path\n"
                                     "  }\n"
                                     "}\n"
                                   : "");
    }
}

// ---- failures ----

struct FailureCase {
    std::string title;
    std::function<void(FakeHost&)> setup;
    std::string source;
    std::optional<std::string> package;
    std::function<std::string(const FakeHost&)> message;
};

TEST_F(BuilderTest, InternalFailuresAbandonTheBuildAndLeaveTheBuilderUsable) {
    const FailureCase cases[] = {
        {"relative import of the root without package", [](FakeHost&) {}, "from . import x\n",
         std::nullopt,
         [](const FakeHost&) {
             return "Attempted relative import from terminal node (no known parent package)";
         }},
        {"relative import beyond the top-level package",
         [](FakeHost& h) { h.package("pkg", "from ... import x\n"); }, "import pkg\n", std::nullopt,
         [](const FakeHost&) { return "Attempted relative import beyond top-level package"; }},
        {"a source file that is not UTF-8, met deep in the walk",
         [](FakeHost& h) {
             h.module("a", "import b\n");
             h.module("b", "import bad\n");
             h.module("bad", "import os\n# caf\xe9\n");
         },
         "import a\n", std::nullopt,
         [](const FakeHost& h) {
             return "Failed to read file '" + h.origin_of("bad") +
                    "': stream did not contain valid UTF-8 (byte 15)";
         }},
    };
    host.module("cached", "");
    GraphBuilder builder;
    builder.build("import cached\n", std::nullopt, host);
    const auto cached = test_support::snapshot(*builder.cache);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        ScratchDirectory scratch;
        FakeHost files(scratch);
        c.setup(files);
        testing::clear_captured_records();
        EXPECT_EQ(failure_of([&] { builder.build(c.source, c.package, files); }), c.message(files));
        EXPECT_TRUE(builder_messages_after("Processed ").empty());
        expect_resting(builder);
        EXPECT_EQ(test_support::snapshot(*builder.cache), cached);
    }

    // The next build starts afresh and still finds the cache.
    testing::clear_captured_records();
    const DepGraph graph = builder.build("import cached\n", std::nullopt, host);
    EXPECT_EQ(edges_of(graph), (Edges{{"<terminal>", "cached"}}));
    EXPECT_EQ(builder_messages_after("Processed "),
              Lines{"1 dependency relationships (1 from cache)."});
}

TEST_F(BuilderTest, FailedFirstBuildLeavesNoCache) {
    GraphBuilder builder;
    EXPECT_EQ(failure_of([&] { builder.build("from .x import y\n", std::nullopt, host); }),
              "Attempted relative import from terminal node (no known parent package)");
    expect_resting(builder);
    EXPECT_FALSE(builder.cache.has_value());
    builder.build("", std::nullopt, host);
    EXPECT_TRUE(builder.cache.has_value());
}

TEST_F(BuilderTest, HostLookupExceptionAbandonsTheBuild) {
    host.module("a", "import b\n");
    host.module("b", "import boom\n");
    host.module("kept", "");
    GraphBuilder builder;
    builder.build("import kept\n", std::nullopt, host);
    const auto cached = test_support::snapshot(*builder.cache);

    host.throw_on_lookup("boom");
    testing::clear_captured_records();
    try {
        builder.build("import a\n", std::nullopt, host);
        ADD_FAILURE() << "the host's exception did not come through";
    } catch (const HostInterrupt& interrupt) {
        EXPECT_EQ(interrupt.where, "boom");
    }
    EXPECT_TRUE(builder_messages_after("Done '").empty());  // no expansion ran to its end
    EXPECT_TRUE(builder_messages_after("Processed ").empty());
    expect_resting(builder);
    EXPECT_EQ(test_support::snapshot(*builder.cache), cached);
}

TEST_F(BuilderTest, CheckpointCanAbandonTheBuildAtEveryStep) {
    host.module("a", "import b\n");
    host.module("b", "import a\n");
    host.module("kept", "");
    GraphBuilder builder;
    builder.build("import kept\n", std::nullopt, host);
    const auto cached = test_support::snapshot(*builder.cache);

    // The traversal example makes four lookups, each followed by a checkpoint, and one more
    // checkpoint before its summary.
    for (std::size_t call = 1; call <= 5; ++call) {
        SCOPED_TRACE(call);
        FakeHost interrupted(directory);
        interrupted.module("a", "import b\n");
        interrupted.module("b", "import a\n");
        interrupted.throw_on_checkpoint(call);
        testing::clear_captured_records();
        EXPECT_THROW(builder.build("import a\nimport b\n", std::nullopt, interrupted),
                     HostInterrupt);
        EXPECT_EQ(interrupted.lookups.size(), std::min<std::size_t>(call, 4));
        EXPECT_TRUE(builder_messages_after("Processed ").empty());
        expect_resting(builder);
        EXPECT_EQ(test_support::snapshot(*builder.cache), cached);
    }

    FakeHost calm(directory);
    calm.module("a", "import b\n");
    calm.module("b", "import a\n");
    const DepGraph graph = builder.build("import a\nimport b\n", std::nullopt, calm);
    EXPECT_EQ(graph.size(), 3u);
    EXPECT_EQ(calm.checkpoints, 5u);
}

// ---- long chains ----

// Every module's source is "import next", and each lookup of "next" finds the following module of
// the chain, so one file serves a chain of any length.
class ChainHost final : public BuildHost {
public:
    ChainHost(std::string file, std::size_t length) : file_(std::move(file)), length_(length) {}

    std::optional<importlib::ModuleSpec> find_spec(std::string_view name) override {
        if (name != "next" || next_ > length_) return std::nullopt;
        const std::string module = "m" + std::to_string(next_++);
        return importlib::ModuleSpec{module, file_, "", std::nullopt};
    }

    void restart() { next_ = 1; }

private:
    std::string file_;
    std::size_t length_;
    std::size_t next_ = 1;
};

// Every name is a namespace package (no origin), so a dotted name of any length resolves, and its
// parents are attached one inside the other.
class NestedHost final : public BuildHost {
public:
    std::optional<importlib::ModuleSpec> find_spec(std::string_view name) override {
        return importlib::ModuleSpec{std::string(name), std::nullopt, std::string(name),
                                     std::vector<std::string>{}};
    }
};

// Runs `work` on a thread whose stack is `stack_bytes` long, as small as those of Python threads
// can be, and passes on what it throws.
void run_on_small_stack(std::size_t stack_bytes, const std::function<void()>& work) {
    struct Job {
        const std::function<void()>* work;
        std::exception_ptr failure;
    } job{&work, nullptr};
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, stack_bytes), 0);
    pthread_t thread;
    const int started = pthread_create(
        &thread, &attributes,
        [](void* argument) -> void* {
            auto* running = static_cast<Job*>(argument);
            try {
                (*running->work)();
            } catch (...) {
                running->failure = std::current_exception();
            }
            return nullptr;
        },
        &job);
    pthread_attr_destroy(&attributes);
    ASSERT_EQ(started, 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    if (job.failure) std::rethrow_exception(job.failure);
}

TEST_F(BuilderTest, LongChainBuildsOnASmallStack) {
    constexpr std::size_t kLength = 20'000;
    ChainHost chain(directory.write("chain.py", "import next\n"), kLength);
    GraphBuilder builder;
    DepGraph first;
    DepGraph second;
    {
        QuietLog quiet;
        logging_bridge::set_max_level(logging_bridge::LevelFilter::Info);  // summaries only
        run_on_small_stack(256 * 1024, [&] {
            first = builder.build("import next\n", std::nullopt, chain);
            chain.restart();
            second = builder.build("import next\n", std::nullopt, chain);  // all from the cache
        });
    }
    const std::string last = "m" + std::to_string(kLength);
    EXPECT_EQ(first.size(), kLength + 1);
    EXPECT_EQ(first.num_dependencies(), kLength);
    EXPECT_EQ(first.read(last)->depth, static_cast<std::int32_t>(kLength));
    EXPECT_EQ(first.read("m5000")->dependencies, (ImportSet{"m5001"}));
    EXPECT_EQ(test_support::snapshot(second), test_support::snapshot(first));

    // A name of many parts: each part's parent is attached before it, outermost first.
    constexpr std::size_t kParts = 3'000;  // the names alone grow with the square of this
    std::string nested = "p";
    for (std::size_t part = 1; part < kParts; ++part)
        nested += ".p";
    NestedHost packages;
    GraphBuilder nesting;
    DepGraph third;
    {
        QuietLog quiet;
        logging_bridge::set_max_level(logging_bridge::LevelFilter::Info);
        run_on_small_stack(256 * 1024, [&] {
            third = nesting.build("import " + nested + "\n", std::nullopt, packages);
        });
    }
    EXPECT_EQ(third.size(), kParts + 1);
    EXPECT_EQ(third.read(kRoot)->dependencies.size(), kParts);
    EXPECT_EQ(third.read(nested)->depth, 1);

    EXPECT_EQ(builder_messages_after("Processed "),
              (Lines{std::to_string(kLength) + " dependency relationships.",
                     std::to_string(kLength) + " dependency relationships (" +
                         std::to_string(kLength) + " from cache).",
                     std::to_string(kParts) + " dependency relationships."}));
}

}  // namespace
}  // namespace modweave::core
