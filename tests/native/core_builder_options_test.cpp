// The builder's options, driven through a host that serves specs and import lists from tables, so
// that the records a reader would give (lines, star imports, TYPE_CHECKING blocks) are exact.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/builder.hpp"
#include "core_builder_support.hpp"
#include "internal_failure.hpp"

namespace modweave::core {
namespace {

using builder_test::depths_of;
using builder_test::edges_of;
using minimal_parser::Alias;
using minimal_parser::Import;
using minimal_parser::ImportFrom;

ImportLine plain(std::vector<std::string> names, std::uint32_t line, bool type_checking = false) {
    Import import;
    for (auto& name : names)
        import.names.push_back(Alias{std::move(name), std::nullopt});
    return {.statement = std::move(import), .line = line, .type_checking = type_checking};
}

ImportLine from(std::string module, std::size_t level, std::vector<std::string> names,
                std::uint32_t line) {
    ImportFrom import{.level = level, .module = std::move(module), .names = {}};
    for (auto& name : names)
        import.names.push_back(Alias{std::move(name), std::nullopt});
    return {.statement = std::move(import), .line = line};
}

// Each module's "source text" is its own name; the import list of a text comes from a table.
class ScriptedHost final : public BuildHost {
public:
    void module(const std::string& name, std::vector<ImportLine> imports, bool package = false) {
        const auto dot = name.rfind('.');
        specs_[name] = {
            name, name + ".py",
            package ? name : (dot == std::string::npos ? "" : name.substr(0, dot)),
            package ? std::optional<std::vector<std::string>>(std::in_place) : std::nullopt};
        imports_[name] = std::move(imports);
    }
    void root(std::vector<ImportLine> imports) { imports_[""] = std::move(imports); }

    std::optional<importlib::ModuleSpec> find_spec(std::string_view name) override {
        const auto found = specs_.find(std::string(name));
        if (found == specs_.end()) return std::nullopt;
        return found->second;
    }
    std::optional<std::string> load_source(const importlib::ModuleSpec& spec) override {
        read.insert(spec.name);
        return spec.name;
    }
    std::vector<ImportLine> read_imports(std::string_view source) override {
        return imports_.at(std::string(source));
    }
    void reached(std::size_t modules, bool done) override { reports.emplace_back(modules, done); }

    std::set<std::string> read;                         // modules whose text was read
    std::vector<std::pair<std::size_t, bool>> reports;  // progress, in order

private:
    std::map<std::string, importlib::ModuleSpec> specs_;
    std::map<std::string, std::vector<ImportLine>> imports_;
};

using Depths = std::map<std::string, std::optional<std::int32_t>>;

std::vector<UnresolvedImport> unresolved_of(const DepGraph& graph, const std::string& name) {
    return graph.read(name)->unresolved;
}

TEST(BuilderOptions, ExactDepthsAreShortestDistancesFreshAndCached) {
    ScriptedHost host;
    // Discovery order reaches d through a and c; b reaches it one step sooner.
    host.module("a", {plain({"c"}, 1)});
    host.module("c", {plain({"d"}, 1)});
    host.module("d", {plain({"e"}, 1)});
    host.module("e", {});
    host.module("b", {plain({"d"}, 1)});
    host.root({plain({"a", "b"}, 1)});
    GraphBuilder plain_builder;
    EXPECT_EQ(depths_of(plain_builder.build("", std::nullopt, host))["e"], 4);

    GraphBuilder builder;
    builder.options.exact = true;
    const Depths expected{{"<terminal>", 0}, {"a", 1}, {"b", 1}, {"c", 2}, {"d", 2}, {"e", 3}};
    EXPECT_EQ(depths_of(builder.build("", std::nullopt, host)), expected);
    host.root({plain({"a"}, 1), plain({"b"}, 2)});
    EXPECT_EQ(depths_of(builder.build("", std::nullopt, host)), expected);  // a and b from cache
}

TEST(BuilderOptions, UnresolvedNamesAndStarImports) {
    ScriptedHost host;
    host.module("pkg", {from("", 1, {"*"}, 1), from("", 1, {"sub", "attribute"}, 2)}, true);
    host.module("pkg.sub",
                {plain({"missing.deep"}, 3), from("gone", 0, {"x"}, 5), from("", 4, {"x"}, 6)});
    host.root({plain({"pkg"}, 1), from("", 1, {"y"}, 2)});
    GraphBuilder builder;
    builder.options.exact = true;
    const DepGraph graph = builder.build("", std::nullopt, host);

    EXPECT_EQ(edges_of(graph), (std::set<std::pair<std::string, std::string>>{{"<terminal>", "pkg"},
                                                                              {"pkg", "pkg.sub"}}));
    // Neither the star nor an attribute of a package is a module name worth reporting.
    EXPECT_TRUE(unresolved_of(graph, "pkg").empty());
    EXPECT_EQ(unresolved_of(graph, "pkg.sub"),
              (std::vector<UnresolvedImport>{{"missing.deep", 3}, {"gone", 5}, {"....", 6}}));
    EXPECT_EQ(unresolved_of(graph, "<terminal>"), (std::vector<UnresolvedImport>{{".", 2}}));

    GraphBuilder plain_builder;  // a relative import without a package still fails the plain build
    EXPECT_THROW(plain_builder.build("", std::nullopt, host), InternalFailure);
}

TEST(BuilderOptions, ScopeDecidesWhatIsReadAndWhatIsKept) {
    ScriptedHost host;
    host.module("app", {plain({"lib.part", "json"}, 1)}, true);
    host.module("lib", {plain({"json"}, 1)}, true);
    host.module("lib.part", {plain({"csv"}, 1)});
    host.module("json", {plain({"re"}, 1)});
    host.module("csv", {});
    host.module("re", {});
    host.root({plain({"app"}, 1)});

    GraphBuilder only;
    only.options.expand_only = NamePrefixes({"app", "lib"});
    const DepGraph graph = only.build("", std::nullopt, host);
    EXPECT_EQ(host.read, (std::set<std::string>{"app", "lib", "lib.part"}));
    EXPECT_TRUE(graph.has_node("json") && graph.has_node("csv") && !graph.has_node("re"));

    host.read.clear();
    GraphBuilder never;
    never.options.never_expand = NamePrefixes({"lib.part", "json"});
    never.build("", std::nullopt, host);
    EXPECT_EQ(host.read, (std::set<std::string>{"app", "lib"}));

    GraphBuilder excluded;
    excluded.options.exclude = NamePrefixes({"lib"});
    const DepGraph without = excluded.build("", std::nullopt, host);
    EXPECT_FALSE(without.has_node("lib") || without.has_node("lib.part") ||
                 without.has_node("csv"));
    EXPECT_TRUE(without.read("app")->unresolved.empty());
}

TEST(BuilderOptions, TypeCheckingImportsCanBeLeftOutAndProgressIsReported) {
    ScriptedHost host;
    host.module("typed", {plain({"runtime"}, 1), plain({"only_types"}, 3, true)});
    host.module("runtime", {});
    host.module("only_types", {});
    host.root({plain({"typed"}, 1)});
    GraphBuilder builder;
    builder.options.type_checking = false;
    const DepGraph graph = builder.build("", std::nullopt, host);
    EXPECT_FALSE(graph.has_node("only_types"));
    EXPECT_TRUE(graph.has_node("runtime"));
    EXPECT_EQ(host.reports,
              (std::vector<std::pair<std::size_t, bool>>{{2, false}, {3, false}, {3, true}}));
}

TEST(NamePrefixes, CoverWholeComponentsOnly) {
    const NamePrefixes prefixes({"a.b", "c"});
    for (const char* covered : {"a.b", "a.b.c", "c", "c.d.e"})
        EXPECT_TRUE(prefixes.covers(covered));
    for (const char* outside : {"a", "a.bc", "cd", "", "b"})
        EXPECT_FALSE(prefixes.covers(outside));
}

}  // namespace
}  // namespace modweave::core
