// Module dependency graphs: nodes keyed by dotted name, import edges recorded on both ends, and
// each node's depth in import steps from the graph's root.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/import_set.hpp"
#include "importlib/types.hpp"
#include "text/string_hash.hpp"

namespace modweave::core {

// A name that a module imports but that did not resolve to a module.
struct UnresolvedImport {
    std::string name;                   // as imported; made absolute when the import was relative
    std::optional<std::uint32_t> line;  // of the statement, where the reader knows it

    bool operator==(const UnresolvedImport&) const = default;
};

// One module of a graph. Relations are names, not pointers, so a node can be copied, moved
// between graphs or handed to Python on its own.
struct DepNode {
    std::string name;                          // equals spec.name
    importlib::ModuleSpec spec;                // as the resolver found it
    ImportSet dependencies;                    // modules this one imports
    std::optional<std::int32_t> depth;         // absent until the first edge reaches it
    ImportSet dependents;                      // modules that import this one
    std::vector<UnresolvedImport> unresolved;  // imported names of this module's text, in
                                               // source order, that found no module

    DepNode(importlib::ModuleSpec module_spec, std::optional<std::int32_t> initial_depth);

    // Containers own their elements, so the member-wise copy shares nothing with the source.
    DepNode clone() const { return *this; }

    bool operator==(const DepNode&) const = default;
};

class StoredNode;

// Read access to a stored node; released when the guard goes, also during stack unwinding.
class NodeReadGuard {
public:
    explicit NodeReadGuard(const StoredNode& stored);
    NodeReadGuard(NodeReadGuard&& other) noexcept
        : stored_(std::exchange(other.stored_, nullptr)) {}
    NodeReadGuard(const NodeReadGuard&) = delete;
    NodeReadGuard& operator=(const NodeReadGuard&) = delete;
    NodeReadGuard& operator=(NodeReadGuard&&) = delete;
    ~NodeReadGuard();

    const DepNode& operator*() const noexcept;
    const DepNode* operator->() const noexcept { return &**this; }

private:
    const StoredNode* stored_;
};

// Change access to a stored node; exclusive of every other access while it lives.
class NodeWriteGuard {
public:
    explicit NodeWriteGuard(StoredNode& stored);
    NodeWriteGuard(NodeWriteGuard&& other) noexcept
        : stored_(std::exchange(other.stored_, nullptr)) {}
    NodeWriteGuard(const NodeWriteGuard&) = delete;
    NodeWriteGuard& operator=(const NodeWriteGuard&) = delete;
    NodeWriteGuard& operator=(NodeWriteGuard&&) = delete;
    ~NodeWriteGuard();

    DepNode& operator*() const noexcept;
    DepNode* operator->() const noexcept { return &**this; }

private:
    StoredNode* stored_;
};

// Change access to a node's importers and depth, and through the graph to its unresolved names:
// everything but its imports. Those stay as they are, and so does the graph's note of the nodes
// they name, which full change access drops.
class NodeImportersGuard {
public:
    explicit NodeImportersGuard(StoredNode& stored);
    NodeImportersGuard(const NodeImportersGuard&) = delete;
    NodeImportersGuard& operator=(const NodeImportersGuard&) = delete;
    ~NodeImportersGuard();

    const DepNode& node() const noexcept;
    ImportSet& dependents() const noexcept;
    std::optional<std::int32_t>& depth() const noexcept;

private:
    StoredNode* stored_;
};

// A node as the graph keeps it, beside its access state. The state is a plain counter, not a
// lock: the graph lives on one thread, and a conflicting request is a broken invariant, so it
// fails at once instead of waiting.
//
// Copies share the node's data until one of them asks for change access, which first gives it a
// copy of its own; a shared node is never changed in place, so no holder of one sees another's
// changes, and a graph copies in the time of its map.
class StoredNode {
public:
    explicit StoredNode(DepNode&& node) : node_(std::make_shared<DepNode>(std::move(node))) {}
    // A copy is a new stored node with the same node, its access state and walk notes fresh.
    // Taken under read access, so that copying a node being changed fails as reading it would.
    StoredNode(const StoredNode& other) : node_(other.shared()) {}
    StoredNode& operator=(const StoredNode&) = delete;
    // The source keeps its node too, so that it stays usable; the walk notes stay behind.
    StoredNode(StoredNode&& other) noexcept : node_(other.node_) {}
    StoredNode& operator=(StoredNode&&) = delete;

    // Throws "already mutably borrowed: BorrowError" while change access is held.
    NodeReadGuard read() const { return NodeReadGuard(*this); }
    // Throws "already borrowed: BorrowMutError" while any access is held.
    NodeWriteGuard write() { return NodeWriteGuard(*this); }
    // The same for the importers and the depth alone; the notes of the imports stay.
    NodeImportersGuard write_importers() { return NodeImportersGuard(*this); }

    bool is_free() const noexcept { return access_ == kFree; }
    // Whether another stored node holds the same data, so that change access would copy it.
    bool shared_with_others() const noexcept { return node_.use_count() > 1; }

private:
    friend class NodeReadGuard;
    friend class NodeWriteGuard;
    friend class NodeImportersGuard;
    friend class DepGraph;
    static constexpr std::ptrdiff_t kFree = 0;
    static constexpr std::ptrdiff_t kWriting = -1;

    std::shared_ptr<DepNode> shared() const;
    // Takes change access: fails while any access is held, and first copies a shared node.
    void begin_change();
    // Marks this node, in `round`, with its counterpart in another graph.
    void mark_copy(std::uint64_t round, StoredNode& copy) const noexcept {
        graft_round_ = round;
        graft_copy_ = &copy;
    }
    const std::string& name() const noexcept { return node_->name; }

    std::shared_ptr<DepNode> node_;          // never empty
    mutable std::ptrdiff_t access_ = kFree;  // number of readers, or kWriting
    // What the graph's own walks note on the node as they go.
    std::uint64_t walk_ = 0;     // the walk that last reached it; walks are numbered per process
    std::int32_t distance_ = 0;  // its distance from the start of that walk
    bool grafted_ = false;       // shared in by graft, and not yet settled
    // The nodes of this graph that the node's imports name, as graft found them or edges added
    // them; valid while the sizes agree, and dropped on any other change access.
    std::vector<StoredNode*> targets_;
    // Where the graft of one build put this node, or found it, in the graph being built: valid
    // in that build's round only. The source graph of a graft is otherwise left as it is.
    mutable std::uint64_t graft_round_ = 0;
    mutable StoredNode* graft_copy_ = nullptr;
};

class DepGraph {
public:
    using NodeMap =
        std::unordered_map<std::string, StoredNode, text::TransparentStringHash, std::equal_to<>>;

    DepGraph() = default;
    // Copy of every node, each taken under read access; the copies start free, and share their
    // nodes' data with this graph until either side changes a node.
    DepGraph(const DepGraph& other);
    DepGraph& operator=(const DepGraph& other);
    DepGraph(DepGraph&&) noexcept = default;
    DepGraph& operator=(DepGraph&&) noexcept = default;
    ~DepGraph() = default;

    // A graph that holds this one's nodes together with it, in constant time: whichever of the
    // two first calls a non-const member takes a copy of its own then, as the copy constructor
    // makes, and keeps the notes of imports (`note_targets`). Until then the two are one graph,
    // walk notes and all; for a graph that is only read from now on, such as a finished build's.
    DepGraph share() const;

    // Takes the node over and returns read access to it as stored; release that access before
    // changing the graph again. Fails when the name is taken.
    NodeReadGuard add(DepNode node);
    // add, giving the node as stored; it stays where it is while the graph only grows.
    StoredNode& add_stored(DepNode node);

    // Records that `from` imports `to` on both nodes, then gives `to` the depth of `from` plus
    // one when it has none or a larger one. Logs before any check, so a failing call still logs.
    void add_dependency(std::string_view from, std::string_view to);

    // add_dependency for two nodes of this graph found already (the log names them the same).
    void add_dependency(StoredNode& from, StoredNode& to);

    // Appends to the names of `module` that found no module. Its imports stay as they are, and so
    // does the note of the nodes they name.
    void add_unresolved(std::string_view module, UnresolvedImport import);

    // The stored node of `name`, or nothing; it stays where it is while the graph only grows.
    StoredNode* find(std::string_view name) {
        const auto entry = nodes_.find(name);
        return entry == nodes_.end() ? nullptr : &entry->second;
    }

    // Number of edges: the sum of the sizes of all dependency sets.
    std::size_t num_dependencies() const;
    bool has_node(std::string_view name) const { return nodes_.contains(name); }
    std::size_t size() const noexcept { return nodes_.size(); }
    bool empty() const noexcept { return nodes_.empty(); }

    // A copy of the named node; fails with "Node does not exist on graph: " and the name.
    DepNode get(std::string_view name) const;
    NodeReadGuard read(std::string_view name) const;
    NodeWriteGuard write(std::string_view name);

    // Map order: unspecified, but the same for every call while the graph is not changed.
    std::vector<std::string> names() const;
    std::vector<std::string> origins() const;
    std::vector<DepNode> get_all_scoped(std::string_view scope) const;
    // Calls `visit(const DepNode&)` for every node in map order, each under read access.
    template <class Visit>
    void for_each_node(Visit&& visit) const {
        for (const auto& entry : nodes_)
            visit(*entry.second.read());
    }
    const NodeMap& nodes() const noexcept { return nodes_.map(); }

    // The part reachable from `name` along import edges, as a new graph whose dependents are
    // cut down to its own nodes. Depths are copied unchanged.
    DepGraph clone_from(std::string_view name) const;

    // Folds `other` into this graph node by node: new names are added as they are, known names
    // unite their relations and keep the smaller depth.
    void merge(DepGraph other);

    // Splices `other` under the new edge `from` -> `to`: renumbers the depths of `other` from the
    // depth of `from`, merges it in, then adds the edge.
    void add_graph(std::string_view from, std::string_view to, DepGraph other);

    // Replaces every depth by the shortest import distance from `root`; nodes that `root` does
    // not reach are left without one.
    void assign_distances_from(std::string_view root);

    // The nodes a build brought in from another graph by graft, which hold that graph's depths
    // and importers until the build settles them.
    struct Grafted {
        Grafted();
        std::vector<StoredNode*> nodes;  // as stored here
        std::uint64_t round;             // numbered across all builds, never 0
    };
    // A round of marks no graft or note has used.
    static std::uint64_t next_round();

    // Brings in the part of `source` reachable from `name` that this graph lacks, each node once,
    // sharing the node's data with `source`; the walk stops at nodes this graph holds already,
    // whose imports it has or will have, and which are told of their importers among the nodes
    // brought in. For graphs whose nodes carry complete import sets and name every importer among
    // their own nodes, as an exact build's cache does. The nodes brought in are added to
    // `grafted`. Returns the number of edges brought in.
    std::size_t graft(const DepGraph& source, std::string_view name, Grafted& grafted);

    // What the grafts of a build from this graph brought in: the edges of the nodes shared in,
    // and the number of grafts that shared any.
    struct GraftCount {
        std::size_t edges = 0;
        std::size_t grafts = 0;
    };
    // For a graph that is one exact build's, as that build left it: whether a build whose root
    // node is `root`, imports aside, and whose root imports the modules of `imported`, entries of
    // this graph (in the order it attached them, repeats allowed), makes this very graph. It does
    // when its root comes out as this graph's own, for every node of such a graph is reached from
    // its root. Then returns, when `counted`, what the build's grafts from this graph would have
    // counted, grafting in that order (a graph some node of which the root does not reach is
    // refused then), and zeros otherwise; without a match, nothing.
    std::optional<GraftCount> rebuilt_whole(const DepNode& root,
                                            const std::vector<const NodeMap::value_type*>& imported,
                                            bool counted) const;

    // Drops from the dependents of the nodes `grafted` from `source` every name that is not a
    // node of this graph importing them. Returns the number of this graph's nodes that `source`
    // has too.
    std::size_t keep_dependents_in_graph(const Grafted& grafted, const DepGraph& source);

    // Adds every node of `other` that this graph lacks, as it is, and records the new nodes'
    // imports of nodes that were here before on those nodes as well.
    void add_missing(const DepGraph& other);

    // Notes on every node the nodes its imports name, where the note is missing; a graft from
    // this graph then follows pointers instead of looking names up. Changes no node. Notes are
    // taken over from `model` where it holds the same node with its imports noted: a graph this
    // one was copied from costs a lookup per node then, rather than one per import.
    void note_targets(const DepGraph& model);

private:
    void adopt(NodeMap::node_type handle);
    void relate(StoredNode& from, StoredNode& to);
    // What an edge would change: nothing, the importer's imports alone, or both nodes; and
    // whether the importer is known not to import the other yet.
    enum class Changed { None, Importer, Both };
    struct EdgeChange {
        Changed nodes = Changed::Both;
        bool new_import = false;
    };
    static EdgeChange edge_change(const StoredNode& from, const StoredNode& to);
    void assign_depths_from(const std::string& start, std::int32_t start_depth);
    static bool note_targets_in_step(NodeMap& here, const NodeMap& model);
    // Notes the targets of `stored` from its counterpart in the model, when that serves, or by
    // their names in `here`; nodes of the model marked in `round` have their counterparts here.
    static void note_targets_of(NodeMap& here, StoredNode& stored, const StoredNode* counterpart,
                                std::uint64_t round);

    // The node map, which share() lets graphs hold together. The const members read it as it
    // stands; every non-const one first makes it this graph's own, copying a shared map.
    class Nodes {
    public:
        Nodes() = default;
        Nodes(const Nodes& other);
        Nodes& operator=(const Nodes&) = delete;
        Nodes(Nodes&&) noexcept = default;
        Nodes& operator=(Nodes&&) noexcept = default;
        ~Nodes() = default;

        Nodes share() const;
        bool same_as(const Nodes& other) const noexcept {
            return map_ != nullptr && map_ == other.map_;
        }
        void swap(Nodes& other) noexcept { map_.swap(other.map_); }

        const NodeMap& map() const noexcept;
        NodeMap& own() {
            if (map_ != nullptr && map_.use_count() == 1) [[likely]]
                return *map_;
            return make_own();
        }

        NodeMap::const_iterator find(std::string_view name) const { return map().find(name); }
        NodeMap::iterator find(std::string_view name) { return own().find(name); }
        bool contains(std::string_view name) const { return map().contains(name); }
        std::size_t size() const noexcept { return map().size(); }
        bool empty() const noexcept { return map().empty(); }
        NodeMap::const_iterator begin() const noexcept { return map().begin(); }
        NodeMap::const_iterator end() const noexcept { return map().end(); }
        NodeMap::iterator begin() { return own().begin(); }
        NodeMap::iterator end() { return own().end(); }
        template <class Key, class... Arguments>
        std::pair<NodeMap::iterator, bool> try_emplace(Key&& key, Arguments&&... arguments) {
            return own().try_emplace(std::forward<Key>(key), std::forward<Arguments>(arguments)...);
        }
        NodeMap::insert_return_type insert(NodeMap::node_type&& handle) {
            return own().insert(std::move(handle));
        }

    private:
        NodeMap& make_own();

        std::shared_ptr<NodeMap> map_;  // null for an empty graph that never held a node
    };
    Nodes nodes_;
};

}  // namespace modweave::core
