#include "core/types.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <set>

#include "internal_failure.hpp"
#include "logging_bridge/log.hpp"

namespace modweave::core {

namespace {

constexpr std::string_view kTarget = logging_bridge::targets::core_types;
constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";

// The depth one import step further; a depth at the top of the range has nowhere to go.
std::int32_t one_step_deeper(std::int32_t depth) {
    if (depth == std::numeric_limits<std::int32_t>::max()) fail("attempt to add with overflow");
    return depth + 1;
}

}  // namespace

DepNode::DepNode(importlib::ModuleSpec module_spec, std::optional<std::int32_t> initial_depth)
    : name(module_spec.name), spec(std::move(module_spec)), depth(initial_depth) {}

NodeReadGuard::NodeReadGuard(const StoredNode& stored) : stored_(&stored) {
    if (stored.access_ == StoredNode::kWriting) fail("already mutably borrowed: BorrowError");
    ++stored.access_;
}

NodeReadGuard::~NodeReadGuard() {
    if (stored_ != nullptr) --stored_->access_;
}

const DepNode& NodeReadGuard::operator*() const noexcept {
    return *stored_->node_;
}

void StoredNode::begin_change() {
    if (access_ != kFree) fail("already borrowed: BorrowMutError");
    // A node that another stored node holds too is copied before it can change.
    if (shared_with_others()) node_ = std::make_shared<DepNode>(*node_);
    access_ = kWriting;
}

NodeWriteGuard::NodeWriteGuard(StoredNode& stored) : stored_(&stored) {
    stored.begin_change();
    stored.targets_.clear();
}

NodeImportersGuard::NodeImportersGuard(StoredNode& stored) : stored_(&stored) {
    stored.begin_change();
}

NodeImportersGuard::~NodeImportersGuard() {
    stored_->access_ = StoredNode::kFree;
}

const DepNode& NodeImportersGuard::node() const noexcept {
    return *stored_->node_;
}

ImportSet& NodeImportersGuard::dependents() const noexcept {
    return stored_->node_->dependents;
}

std::optional<std::int32_t>& NodeImportersGuard::depth() const noexcept {
    return stored_->node_->depth;
}

NodeWriteGuard::~NodeWriteGuard() {
    if (stored_ != nullptr) stored_->access_ = StoredNode::kFree;
}

DepNode& NodeWriteGuard::operator*() const noexcept {
    return *stored_->node_;
}

std::shared_ptr<DepNode> StoredNode::shared() const {
    const NodeReadGuard checked = read();
    return node_;
}

DepGraph::DepGraph(const DepGraph& other) : nodes_(other.nodes_) {}

DepGraph DepGraph::share() const {
    DepGraph shared;
    shared.nodes_ = nodes_.share();
    return shared;
}

DepGraph::Nodes::Nodes(const Nodes& other)
    : map_(other.map_ == nullptr ? nullptr : std::make_shared<NodeMap>(*other.map_)) {}

DepGraph::Nodes DepGraph::Nodes::share() const {
    Nodes shared;
    shared.map_ = map_;
    return shared;
}

const DepGraph::NodeMap& DepGraph::Nodes::map() const noexcept {
    static const NodeMap none;
    return map_ == nullptr ? none : *map_;
}

DepGraph::NodeMap& DepGraph::Nodes::make_own() {
    if (map_ == nullptr) {
        map_ = std::make_shared<NodeMap>();
    } else if (map_.use_count() > 1) {
        // The copy is made before this graph lets go of the shared map, so a copy that fails
        // leaves both graphs as they were.
        auto copy = std::make_shared<NodeMap>(*map_);
        note_targets_in_step(*copy, *map_);
        map_ = std::move(copy);
    }
    return *map_;
}

DepGraph& DepGraph::operator=(const DepGraph& other) {
    if (this != &other) {
        DepGraph copy(other);
        nodes_.swap(copy.nodes_);
    }
    return *this;
}

NodeReadGuard DepGraph::add(DepNode node) {
    return add_stored(std::move(node)).read();
}

StoredNode& DepGraph::add_stored(DepNode node) {
    if (nodes_.contains(node.name)) {
        fail("assertion failed: !self.nodes.contains_key(&node.name)");
    }
    MODWEAVE_LOG(Debug, kTarget, "Adding node to graph: ", node.name);
    std::string key = node.name;
    auto [entry, inserted] = nodes_.try_emplace(std::move(key), std::move(node));
    return entry->second;
}

void DepGraph::add_dependency(std::string_view from, std::string_view to) {
    MODWEAVE_LOG(Debug, kTarget, "Add dependency '", from, "' -> '", to, "'");
    const auto from_entry = nodes_.find(from);
    if (from_entry == nodes_.end()) fail("Node does not exist on graph: ", from);
    const auto to_entry = nodes_.find(to);
    if (to_entry == nodes_.end()) fail("Node does not exist on graph: ", to);
    relate(from_entry->second, to_entry->second);
}

void DepGraph::add_dependency(StoredNode& from, StoredNode& to) {
    MODWEAVE_LOG(Debug, kTarget, "Add dependency '", from.name(), "' -> '", to.name(), "'");
    relate(from, to);
}

// What relating the two would change. Asked under read access, without the change access (and
// the copy of a shared node) that changing takes. Most repeated imports name an edge that is
// there (a module imported twice, or a parent package of several imports); an edge new to the
// importer may still be known to the imported module, when that module came from another graph
// with its importers, and sharing it with that graph is worth a look. Most new edges are told
// apart by the importer's note of its targets, a few pointers long.
DepGraph::EdgeChange DepGraph::edge_change(const StoredNode& from, const StoredNode& to) {
    if (&from == &to || !from.is_free() || !to.is_free()) return {.nodes = Changed::Both};
    const NodeReadGuard from_node = from.read();
    constexpr std::size_t kFewTargets = 8;
    const std::vector<StoredNode*>& targets = from.targets_;
    const bool listed =
        targets.size() == from_node->dependencies.size() && targets.size() <= kFewTargets
            ? std::ranges::find(targets, &to) != targets.end()
            : from_node->dependencies.contains(to.name());
    // A new import changes the imported node too, as far as anyone can tell without looking,
    // and looking only pays where the change would copy the node.
    if (!listed && !to.shared_with_others()) return {.nodes = Changed::Both, .new_import = true};
    const NodeReadGuard to_node = to.read();
    if (!from_node->depth || *from_node->depth == std::numeric_limits<std::int32_t>::max() ||
        !to_node->depth || *to_node->depth > *from_node->depth + 1 ||
        !to_node->dependents.contains(from_node->name)) {
        return {.nodes = Changed::Both, .new_import = !listed};
    }
    return {.nodes = listed ? Changed::None : Changed::Importer, .new_import = !listed};
}

namespace {

// Notes one more target. A module imports a handful of others, so the note starts with room
// for several instead of growing from one at a time.
void add_target(std::vector<StoredNode*>& targets, StoredNode& to) {
    constexpr std::size_t kFirstTargets = 8;
    if (targets.capacity() == 0) targets.reserve(kFirstTargets);
    targets.push_back(&to);
}

}  // namespace

void DepGraph::relate(StoredNode& from, StoredNode& to) {
    const EdgeChange change = edge_change(from, to);
    if (change.nodes == Changed::None) return;
    // The importer's note of its targets survives the one import added here, which it gains.
    std::vector<StoredNode*> targets = std::move(from.targets_);
    const auto add_import = [&](ImportSet& imports, std::string_view name) {
        if (!change.new_import) return imports.insert(name).second;
        imports.insert_absent(name);
        return true;
    };
    if (change.nodes == Changed::Importer) {
        const NodeWriteGuard from_node = from.write();
        const bool targets_valid = targets.size() == from_node->dependencies.size();
        const bool added = add_import(from_node->dependencies, to.name());
        if (targets_valid) {
            if (added) add_target(targets, to);
            from.targets_ = std::move(targets);
        }
        return;
    }
    // Both change accesses are taken before either set changes, so a request that conflicts (an
    // edge from a node to itself, or a node the caller still reads) fails without leaving half an
    // edge behind.
    const NodeImportersGuard to_node = to.write_importers();
    const NodeWriteGuard from_node = from.write();
    const bool targets_valid = targets.size() == from_node->dependencies.size();
    // insert, unlike emplace, makes no copy of a name the set holds already.
    to_node.dependents().insert(from_node->name);
    const bool added = add_import(from_node->dependencies, to_node.node().name);
    if (targets_valid) {
        if (added) add_target(targets, to);
        from.targets_ = std::move(targets);
    }

    if (!from_node->depth) {
        fail("Attempted to add dependency from node with uninitialized depth named: ",
             from_node->name);
    }
    const std::int32_t candidate = one_step_deeper(*from_node->depth);
    std::optional<std::int32_t>& depth = to_node.depth();
    if (!depth) {
        MODWEAVE_LOG(Debug, kTarget, "Initializing depth of node '", to_node.node().name, "' to ",
                     candidate);
        depth = candidate;
    } else if (*depth > candidate) {
        MODWEAVE_LOG(Debug, kTarget, "Found shorter depth to '", to_node.node().name,
                     "' new depth is ", candidate);
        depth = candidate;
    }
}

// `add` for a node that arrives in a map node of another graph, which moves across as it is.
void DepGraph::adopt(NodeMap::node_type handle) {
    {
        const NodeReadGuard incoming = handle.mapped().read();
        if (nodes_.contains(incoming->name)) {
            fail("assertion failed: !self.nodes.contains_key(&node.name)");
        }
        MODWEAVE_LOG(Debug, kTarget, "Adding node to graph: ", incoming->name);
        if (handle.key() != incoming->name) handle.key() = incoming->name;
    }
    // Notes of the graph the node comes from point into that graph.
    handle.mapped().targets_.clear();
    handle.mapped().grafted_ = false;
    nodes_.insert(std::move(handle));
}

std::size_t DepGraph::num_dependencies() const {
    std::size_t count = 0;
    for (const auto& entry : nodes_)
        count += entry.second.read()->dependencies.size();
    return count;
}

void DepGraph::add_unresolved(std::string_view module, UnresolvedImport import) {
    const auto entry = nodes_.find(module);
    if (entry == nodes_.end()) fail("Node does not exist on graph: ", module);
    const NodeImportersGuard change(entry->second);
    entry->second.node_->unresolved.push_back(std::move(import));
}

NodeReadGuard DepGraph::read(std::string_view name) const {
    const auto entry = nodes_.find(name);
    if (entry == nodes_.end()) fail("Node does not exist on graph: ", name);
    return entry->second.read();
}

NodeWriteGuard DepGraph::write(std::string_view name) {
    const auto entry = nodes_.find(name);
    if (entry == nodes_.end()) fail("Node does not exist on graph: ", name);
    return entry->second.write();
}

DepNode DepGraph::get(std::string_view name) const {
    return read(name)->clone();
}

std::vector<std::string> DepGraph::names() const {
    std::vector<std::string> result;
    result.reserve(nodes_.size());
    for (const auto& entry : nodes_)
        result.push_back(entry.first);
    return result;
}

std::vector<std::string> DepGraph::origins() const {
    std::vector<std::string> result;
    for_each_node([&](const DepNode& node) {
        if (node.spec.origin) result.push_back(*node.spec.origin);
    });
    return result;
}

std::vector<DepNode> DepGraph::get_all_scoped(std::string_view scope) const {
    std::vector<DepNode> result;
    for_each_node([&](const DepNode& node) {
        if (std::string_view(node.name).starts_with(scope)) result.push_back(node.clone());
    });
    return result;
}

DepGraph DepGraph::clone_from(std::string_view name) const {
    if (!has_node(name)) fail("assertion failed: self.has_node(name)");
    DepGraph copy;
    // Ordered, so the copy is built (and logged) in byte-wise name order whatever order the
    // dependency sets yield; a name is queued at most once and never after it was copied.
    std::set<std::string, std::less<>> pending{std::string(name)};
    while (!pending.empty()) {
        const auto next = pending.extract(pending.begin());
        const auto entry = nodes_.find(next.value());
        if (entry == nodes_.end()) fail(kUnwrapNone);
        const NodeReadGuard source = entry->second.read();
        copy.add(source->clone());
        for (const auto& dependency : source->dependencies) {
            if (!copy.has_node(dependency)) pending.emplace(dependency);
        }
    }
    // Importers outside the reachable part are not nodes of the copy.
    for (auto& entry : copy.nodes_) {
        const NodeWriteGuard node = entry.second.write();
        erase_if(node->dependents,
                 [&](std::string_view dependent) { return !copy.has_node(dependent); });
    }
    return copy;
}

namespace {

// Folds `incoming` into `kept`, the node of the same name already in the graph. Every check runs
// before anything changes, so a failing merge leaves `kept` as it was.
void merge_node(DepNode& kept, DepNode& incoming) {
    if (kept.name != incoming.name) fail("assertion failed: self.name == other.name");
    if (kept.spec.origin) {
        if (!incoming.spec.origin) fail(kUnwrapNone);
        if (*kept.spec.origin != *incoming.spec.origin) {
            fail("assertion failed: origin == &other.spec.origin.unwrap()");
        }
    }
    kept.dependencies.merge(incoming.dependencies);
    kept.dependents.merge(incoming.dependents);
    // Both lists come from reading the same file, unless one side never read it.
    if (kept.unresolved.empty()) kept.unresolved = std::move(incoming.unresolved);
    // A missing depth only means "not worked out yet", so a known one wins over it.
    if (!kept.depth || (incoming.depth && *incoming.depth < *kept.depth)) {
        kept.depth = incoming.depth;
    }
}

}  // namespace

void DepGraph::merge(DepGraph other) {
    NodeMap incoming = std::move(other.nodes_.own());
    for (auto entry = incoming.begin(); entry != incoming.end();) {
        auto handle = incoming.extract(entry++);
        const auto kept = nodes_.find(handle.key());
        if (kept == nodes_.end()) {
            adopt(std::move(handle));
            continue;
        }
        const NodeWriteGuard kept_node = kept->second.write();
        merge_node(*kept_node, *handle.mapped().write());
    }
}

void DepGraph::add_graph(std::string_view from, std::string_view to, DepGraph other) {
    MODWEAVE_LOG(Debug, kTarget, "Adding graph with ", other.size(), " nodes linked by ", from,
                 " -> ", to);
    // The names may point into `other`, which the merge below uses up.
    const std::string from_name(from);
    const std::string to_name(to);
    const auto from_entry = nodes_.find(from_name);
    if (from_entry == nodes_.end()) fail("Node does not exist on graph: ", from_name);
    if (!other.has_node(to_name)) fail("Node does not exist on graph: ", to_name);

    for (auto& entry : other.nodes_)
        entry.second.write()->depth.reset();
    const std::optional<std::int32_t> from_depth = from_entry->second.read()->depth;
    if (!from_depth) fail(kUnwrapNone);

    other.assign_depths_from(to_name, one_step_deeper(*from_depth));
    merge(std::move(other));
    add_dependency(from_name, to_name);
}

std::uint64_t DepGraph::next_round() {
    static std::atomic<std::uint64_t> rounds{0};
    return rounds.fetch_add(1, std::memory_order_relaxed) + 1;
}

DepGraph::Grafted::Grafted() : round(next_round()) {}

std::size_t DepGraph::graft(const DepGraph& source, std::string_view name, Grafted& grafted) {
    std::size_t copied = 0;
    NodeMap& nodes = nodes_.own();
    // Nodes of `source`, which does not change while this runs, shared in and still to be
    // followed, with their places here.
    std::vector<std::pair<const StoredNode*, StoredNode*>> pending;
    const auto share_in = [&](std::string_view key, const StoredNode& original) -> StoredNode& {
        MODWEAVE_LOG(Debug, kTarget, "Adding node to graph: ", key);
        const auto entry = nodes.try_emplace(std::string(key), original).first;
        grafted.nodes.push_back(&entry->second);
        entry->second.grafted_ = true;
        pending.emplace_back(&original, &entry->second);
        original.mark_copy(grafted.round, entry->second);
        return entry->second;
    };
    const auto share_in_named = [&](std::string_view wanted) -> StoredNode& {
        const auto found = source.nodes_.find(wanted);
        if (found == source.nodes_.end()) fail("Node does not exist on graph: ", wanted);
        return share_in(found->first, found->second);
    };
    if (nodes.contains(name)) return 0;
    // Most of `source` comes along when it is the cache of builds like this one.
    nodes.reserve(nodes.size() + source.size());
    share_in_named(name);
    while (!pending.empty()) {
        auto [original, here] = pending.back();
        pending.pop_back();
        const NodeReadGuard importer = original->read();
        // The source's note of what the imports name, in the order of the import set.
        const std::vector<StoredNode*>& noted = original->targets_;
        const bool by_note = noted.size() == importer->dependencies.size();
        here->targets_.reserve(importer->dependencies.size());
        std::size_t index = 0;
        for (const std::string_view imported : importer->dependencies) {
            const StoredNode* original_target = by_note ? noted[index] : nullptr;
            ++index;
            StoredNode* target = nullptr;
            if (original_target != nullptr && original_target->graft_round_ == grafted.round) {
                target = original_target->graft_copy_;
            } else if (const auto present = nodes.find(imported); present != nodes.end()) {
                target = &present->second;
                if (original_target != nullptr) original_target->mark_copy(grafted.round, *target);
            } else if (original_target != nullptr) {
                target = &share_in(imported, *original_target);
            } else {
                target = &share_in_named(imported);
            }
            // A node brought in from `source` names its importers there, this one among them.
            if (!target->grafted_ && !target->read()->dependents.contains(importer->name)) {
                target->write_importers().dependents().emplace(importer->name);
            }
            here->targets_.push_back(target);
            ++copied;
        }
    }
    return copied;
}

std::optional<DepGraph::GraftCount> DepGraph::rebuilt_whole(
    const DepNode& root, const std::vector<const NodeMap::value_type*>& imported,
    bool counted) const {
    const NodeMap& nodes = nodes_.map();
    const auto root_entry = nodes.find(root.name);
    if (root_entry == nodes.end()) return std::nullopt;
    const StoredNode& stored_root = root_entry->second;
    {
        const NodeReadGuard kept = stored_root.read();
        if (kept->spec != root.spec || kept->depth != root.depth ||
            kept->unresolved != root.unresolved || kept->dependents != root.dependents) {
            return std::nullopt;
        }
        // The same imports, as a set: each name one of the kept root's, and as many of them.
        const std::uint64_t round = next_round();
        std::size_t distinct = 0;
        for (const NodeMap::value_type* entry : imported) {
            if (!kept->dependencies.contains(entry->first)) return std::nullopt;
            if (entry->second.graft_round_ != round) {
                entry->second.graft_round_ = round;
                ++distinct;
            }
        }
        if (distinct != kept->dependencies.size()) return std::nullopt;
    }
    if (!counted) return GraftCount{};
    // The grafts, as graft makes them: each brings in what the ones before it left out, and the
    // root is in the graph from the start.
    const std::uint64_t round = next_round();
    stored_root.graft_round_ = round;
    std::size_t reached = 1;
    GraftCount count;
    std::vector<const StoredNode*> pending;
    const auto follow = [&](const StoredNode* target) {
        if (target->graft_round_ == round) return;
        target->graft_round_ = round;
        ++reached;
        pending.push_back(target);
    };
    for (const NodeMap::value_type* entry : imported) {
        if (entry->second.graft_round_ == round) continue;
        ++count.grafts;
        follow(&entry->second);
        while (!pending.empty()) {
            const StoredNode* node = pending.back();
            pending.pop_back();
            const NodeReadGuard importer = node->read();
            count.edges += importer->dependencies.size();
            // The note of what the imports name, where it holds for the whole set.
            if (node->targets_.size() == importer->dependencies.size()) {
                for (const StoredNode* target : node->targets_)
                    follow(target);
                continue;
            }
            for (const std::string_view name : importer->dependencies) {
                const auto found = nodes.find(name);
                if (found == nodes.end()) return std::nullopt;
                follow(&found->second);
            }
        }
    }
    // A node the root does not reach would not be in the build's graph.
    if (reached != nodes.size()) return std::nullopt;
    return count;
}

void DepGraph::note_targets(const DepGraph& model) {
    // A graph that holds the model's own nodes has the model's notes already.
    if (nodes_.same_as(model.nodes_)) return;
    const auto unnoted_node = [](const auto& entry) {
        return entry.second.targets_.size() != entry.second.read()->dependencies.size();
    };
    // Looked for before the map is taken as this graph's own, so that a graph shared with
    // others and noted throughout stays shared.
    if (std::ranges::none_of(nodes_.map(), unnoted_node)) return;
    NodeMap& here = nodes_.own();
    if (note_targets_in_step(here, model.nodes_.map())) return;
    std::vector<std::pair<const std::string*, StoredNode*>> unnoted;
    for (auto& entry : here) {
        if (unnoted_node(entry)) unnoted.emplace_back(&entry.first, &entry.second);
    }
    // Each node of `model` is marked with its counterpart here.
    const std::uint64_t round = next_round();
    for (const auto& [name, counterpart] : model.nodes_) {
        if (const auto found = here.find(name); found != here.end()) {
            counterpart.mark_copy(round, found->second);
        }
    }
    for (auto [name, stored] : unnoted) {
        const auto counterpart = model.nodes_.find(*name);
        note_targets_of(here, *stored,
                        counterpart == model.nodes_.end() ? nullptr : &counterpart->second, round);
    }
}

// A map copied from `model` holds its nodes in the model's order (a copied map keeps the order
// of its source), each sharing its counterpart's data: walking the two side by side pairs them
// without looking up a name. Returns false, having noted nothing, for any other map.
bool DepGraph::note_targets_in_step(NodeMap& here, const NodeMap& model) {
    if (here.size() != model.size()) return false;
    const std::uint64_t round = next_round();
    auto mine = here.begin();
    for (const auto& [name, counterpart] : model) {
        if (mine->second.node_ != counterpart.node_) return false;
        counterpart.mark_copy(round, mine->second);
        ++mine;
    }
    mine = here.begin();
    for (const auto& [name, counterpart] : model) {
        StoredNode& stored = (mine++)->second;
        if (stored.targets_.size() != stored.read()->dependencies.size()) {
            note_targets_of(here, stored, &counterpart, round);
        }
    }
    return true;
}

void DepGraph::note_targets_of(NodeMap& here, StoredNode& stored, const StoredNode* counterpart,
                               std::uint64_t round) {
    const NodeReadGuard node = stored.read();
    stored.targets_.clear();
    stored.targets_.reserve(node->dependencies.size());
    // The model's note serves when the model's node shares this node's data, and with it the
    // same imports in the same order, and when every node it names has a counterpart here.
    if (counterpart != nullptr && counterpart->node_ == stored.node_ &&
        counterpart->targets_.size() == node->dependencies.size()) {
        bool complete = true;
        for (const StoredNode* target : counterpart->targets_) {
            if (target->graft_round_ != round) {
                complete = false;
                break;
            }
            stored.targets_.push_back(target->graft_copy_);
        }
        if (complete) return;
        stored.targets_.clear();
    }
    for (const std::string_view imported : node->dependencies) {
        const auto target = here.find(imported);
        if (target == here.end()) {
            stored.targets_.clear();
            return;
        }
        stored.targets_.push_back(&target->second);
    }
}

std::size_t DepGraph::keep_dependents_in_graph(const Grafted& grafted, const DepGraph& source) {
    NodeMap& nodes = nodes_.own();
    // A node brought in imports what it imports in `source`, so it imports each node naming it
    // as an importer there. Doubt falls on the other nodes of this graph that `source` has too
    // (the root, say), whose imports are their own, and on names of `source` this graph lacks;
    // when every node of `source` is here, only the first kind is left to check.
    std::vector<std::string> doubtful;
    std::size_t present = grafted.nodes.size();
    for (const auto& [name, stored] : nodes) {
        if (!stored.grafted_ && source.has_node(name)) {
            doubtful.emplace_back(name);
            ++present;
        }
    }
    const bool all_present = present == source.size();
    for (StoredNode* stored : grafted.nodes) {
        // Valid through the change access below, which either leaves this data to its other
        // holders or changes only its importers.
        const std::string& name = stored->read()->name;
        const auto foreign = [&](std::string_view dependent) {
            const auto importer = nodes.find(dependent);
            if (importer == nodes.end()) return true;
            return !importer->second.grafted_ &&
                   !importer->second.read()->dependencies.contains(name);
        };
        if (all_present) {
            const NodeReadGuard node = stored->read();
            const bool any_foreign =
                std::ranges::any_of(doubtful, [&](const std::string& dependent) {
                    const auto named = node->dependents.find(dependent);
                    return named != node->dependents.end() && foreign(*named);
                });
            if (!any_foreign) continue;
        } else if (!std::ranges::any_of(stored->read()->dependents, foreign)) {
            continue;
        }
        erase_if(stored->write_importers().dependents(), foreign);
    }
    for (StoredNode* stored : grafted.nodes)
        stored->grafted_ = false;
    return present;
}

void DepGraph::add_missing(const DepGraph& other) {
    NodeMap& nodes = nodes_.own();
    std::vector<const StoredNode*> added;
    for (const auto& [name, stored] : other.nodes_) {
        if (nodes.contains(name)) continue;
        MODWEAVE_LOG(Debug, kTarget, "Adding node to graph: ", name);
        added.push_back(&nodes.try_emplace(name, stored).first->second);
    }
    // The nodes that were here before learn of their new importers, so that every edge stays
    // known at both ends.
    for (const StoredNode* stored : added) {
        const NodeReadGuard importer = stored->read();
        for (const std::string_view imported : importer->dependencies) {
            const auto target = nodes.find(imported);
            if (target == nodes.end()) fail("Node does not exist on graph: ", imported);
            if (!target->second.read()->dependents.contains(importer->name)) {
                target->second.write_importers().dependents().emplace(importer->name);
            }
        }
    }
}

// The walk takes nodes first in, first out, so the first time it reaches a node is along a
// shortest path, and a node's distance is settled when the walk takes it: its depth is written
// then, while its data is at hand, and only where it changes, so that nodes shared with other
// graphs stay shared. A failure (a graph that names a node it lacks) can leave some depths
// written. Iterative, so deep chains need no stack.
void DepGraph::assign_distances_from(std::string_view root) {
    NodeMap& nodes = nodes_.own();
    const auto entry = nodes.find(root);
    if (entry == nodes.end()) fail("Node does not exist on graph: ", root);
    // Numbered across all graphs, so that a node that moved here from another graph cannot carry
    // the number of a walk of this one.
    static std::atomic<std::uint64_t> walks{0};
    const std::uint64_t walk = walks.fetch_add(1, std::memory_order_relaxed) + 1;
    std::vector<StoredNode*> order{&entry->second};
    order.reserve(nodes.size());
    entry->second.walk_ = walk;
    entry->second.distance_ = 0;
    for (std::size_t next = 0; next < order.size(); ++next) {
        StoredNode& stored = *order[next];
        bool depth_changes = false;
        {
            const NodeReadGuard node = stored.read();
            depth_changes = node->depth != stored.distance_;
            if (!node->dependencies.empty()) {
                const std::int32_t child_depth = one_step_deeper(stored.distance_);
                const auto reach = [&](StoredNode& child) {
                    if (child.walk_ == walk) return;
                    child.walk_ = walk;
                    child.distance_ = child_depth;
                    order.push_back(&child);
                };
                if (stored.targets_.size() == node->dependencies.size()) {
                    for (StoredNode* child : stored.targets_)
                        reach(*child);
                } else {
                    for (const auto& dependency : node->dependencies) {
                        const auto found = nodes.find(dependency);
                        if (found == nodes.end()) fail(kUnwrapNone);
                        reach(found->second);
                    }
                }
            }
        }
        if (depth_changes) stored.write_importers().depth() = stored.distance_;
    }
    // Nodes the root does not reach have no depth.
    if (order.size() == nodes.size()) return;
    for (auto& [name, stored] : nodes) {
        if (stored.walk_ != walk && stored.read()->depth) stored.write_importers().depth().reset();
    }
}

// Gives every node reachable from `start` its distance from the new root: `start_depth` for
// `start` itself and one more per import step. The walk takes names first in, first out, so the
// first time it reaches a node is along a shortest path, and the rule that a node with a depth is
// never revisited loses nothing: every edge p -> n of the walked part ends with
// depth(n) <= depth(p) + 1, as if each edge had been added by add_dependency after its importer's
// depth was settled. A last-in-first-out walk would keep the length of whichever path it happened
// to follow first, which can be far longer. Iterative, so deep chains need no stack.
void DepGraph::assign_depths_from(const std::string& start, std::int32_t start_depth) {
    struct Pending {
        std::string_view name;  // into a dependency set of this graph, unchanged by the walk
        std::int32_t depth;
    };
    std::vector<Pending> pending{{start, start_depth}};
    for (std::size_t next = 0; next < pending.size(); ++next) {
        const auto [name, depth] = pending[next];
        const auto entry = nodes_.find(name);
        if (entry == nodes_.end()) fail(kUnwrapNone);
        const NodeWriteGuard node = entry->second.write();
        if (node->depth) continue;
        node->depth = depth;
        if (node->dependencies.empty()) continue;
        const std::int32_t child_depth = one_step_deeper(depth);
        for (const auto& dependency : node->dependencies) {
            pending.push_back({dependency, child_depth});
        }
    }
}

}  // namespace modweave::core
