#include "core/builder.hpp"

#include <algorithm>
#include <deque>
#include <utility>
#include <variant>
#include <vector>

#include "core/source_file.hpp"
#include "importlib/util.hpp"
#include "internal_failure.hpp"
#include "logging_bridge/log.hpp"
#include "minimal_parser/parser.hpp"
#include "minimal_parser/types.hpp"
#include "minimal_parser/util.hpp"

namespace modweave::core {

namespace {

constexpr std::string_view kTarget = logging_bridge::targets::core_builder;
constexpr std::string_view kBeginRule = ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>";
constexpr std::string_view kEndRule = "<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<";
static_assert(kBeginRule.size() == 36 && kEndRule.size() == 36);

using importlib::ModuleSpec;
using minimal_parser::Import;
using minimal_parser::ImportFrom;

// The text of a relative module reference as written: its dots, then its module part.
std::string relative_reference(const ImportFrom& import) {
    std::string text(*import.level, '.');
    text.append(*import.module);
    return text;
}

// Whether `package` has at least `level` dotted components, so that resolve_name succeeds.
bool can_resolve(std::string_view package, std::size_t level) {
    return static_cast<std::size_t>(std::count(package.begin(), package.end(), '.')) + 1 >= level;
}

// What an exact build's walk knows of each name it has asked about: the host's answer, which such
// hosts keep for the whole build, and the graph's node of the module found, once there is one.
// One search of an open table keyed by the name, instead of one in the host's answers, one in the
// graph and one in the set of modules already handed to the reader.
class NameNotes {
public:
    struct Note {
        const ModuleSpec* found = nullptr;  // nothing when the name found no module
        StoredNode* node = nullptr;         // the node of found->name in the graph, when known
        bool asked = false;                 // the host was asked
        bool dotted = false;                // found->name has a parent package
        bool considered = false;            // look-ahead has decided about reading the module
    };

    // The note of `name`, made when there is none.
    Note& operator[](std::string_view name) {
        if ((entries_.size() + 1) * 2 > slots_.size()) grow();
        const std::size_t hash = text::TransparentStringHash{}(name);
        Slot& slot = slots_[place(name, hash)];
        if (slot.entry == nullptr) slot = {.hash = hash, .entry = &entries_.emplace_back(name)};
        return slot.entry->note;
    }

    // The note of `name`, or nothing.
    const Note* find(std::string_view name) const {
        if (slots_.empty()) return nullptr;
        const Slot& slot = slots_[place(name, text::TransparentStringHash{}(name))];
        return slot.entry == nullptr ? nullptr : &slot.entry->note;
    }

private:
    struct Entry {
        explicit Entry(std::string_view text) : name(text) {}
        std::string name;
        Note note;
    };
    struct Slot {
        std::size_t hash = 0;
        Entry* entry = nullptr;
    };

    // The slot of `name`, or the empty slot where it would go.
    std::size_t place(std::string_view name, std::size_t hash) const {
        for (std::size_t index = hash & mask_;; index = (index + 1) & mask_) {
            const Slot& slot = slots_[index];
            if (slot.entry == nullptr || (slot.hash == hash && slot.entry->name == name)) {
                return index;
            }
        }
    }

    void grow() {
        std::vector<Slot> slots(std::max<std::size_t>(64, slots_.size() * 2));
        mask_ = slots.size() - 1;
        for (const Slot& slot : slots_) {
            if (slot.entry == nullptr) continue;
            std::size_t index = slot.hash & mask_;
            while (slots[index].entry != nullptr)
                index = (index + 1) & mask_;
            slots[index] = slot;
        }
        slots_ = std::move(slots);
    }

    std::vector<Slot> slots_;  // a power of two in size, at most half full
    std::size_t mask_ = 0;
    std::deque<Entry> entries_;  // stay where they are as the table grows
};

// The expansion of one build: depth first in a plain build, and in an exact one depth first only
// within the expansion of each module, whose newly found modules wait their turn in a queue.
//
// It is defined by three mutually recursive operations: process_imports expands a module by
// handing each imported name to process_dependency; process_dependency resolves a name, attaches
// its parent packages first through process_parent (which calls process_dependency for the
// parent), then the module itself, and expands a newly found module at once through
// process_imports. Run on the native stack, that recursion is as deep as the longest chain of
// first discoveries, which a generated code base can make as long as it likes, and Python threads
// have small stacks. So the calls that can lead to further calls keep their state in frames on an
// explicit stack instead, and the loop in `run` always continues the topmost frame:
//
// - An Expansion is a process_imports that has started: its module's spec, its parsed import
//   list, and where it stands in that list. Resuming it makes its next call of process_dependency.
// - An Attachment is a process_dependency that has found a module new to the graph: the found
//   spec, and whether the module's parent packages have been attached yet. Resuming it first
//   calls process_parent, and on the next resumption attaches the module.
//
// A call pushes a frame and returns; the caller's work goes on when that frame (and everything it
// pushed in turn) is gone. Everything a frame does between two calls happens in one resumption,
// so the events come in exactly the order of the recursive definition.
//
// Frames live in a vector, which keeps its memory from one module to the next, and they move when
// it grows. So a push is always the last thing a step does with a frame, and a name handed to
// process_dependency (which may point into a frame) is read only before it pushes anything.
//
// An exact graph does not depend on the order of expansions (depths are worked out at the end),
// so there the attachment of a new module queues it instead of expanding it at once: the walk
// takes the next module from the queue when the stack is empty, and the host has the whole queue
// to read ahead.
class ImportWalk {
public:
    ImportWalk(GraphBuilder& builder, BuildHost& host)
        : builder_(builder), host_(host), deferring_(may_defer_grafts(builder)) {}

    // Expands the root module and everything it leads to.
    void run(ModuleSpec root, std::string_view source) {
        process_imports(std::move(root), source);
        run_frames();
    }

    // The nodes brought in from the cache, whose importers and depths are the cache's until the
    // build settles them.
    const DepGraph::Grafted& grafted() const noexcept { return grafted_; }

    // Once the walk is done: what the grafts put off until now would have counted, when the
    // build comes out as the cache's graph itself, which is then the build's. Otherwise makes
    // those grafts and returns nothing.
    std::optional<DepGraph::GraftCount> finish_deferred() {
        if (!deferring_) return std::nullopt;
        if (const StoredNode* root = builder_.graph.find(terminal_name);
            root != nullptr && builder_.graph.size() == 1) {
            // The counts serve the build's summary alone.
            const bool counted =
                logging_bridge::records_wanted(logging_bridge::Level::Info, kTarget);
            if (auto count = builder_.cache->rebuilt_whole(*root->read(), deferred_, counted)) {
                return count;
            }
        }
        stop_deferring();
        return std::nullopt;
    }

    // Expands a root whose import statements are given rather than read.
    void run(ModuleSpec root, std::vector<ImportLine> imports) {
        begin_expansion(std::move(root), std::move(imports));
        run_frames();
    }

private:
    void run_frames() {
        for (;;) {
            while (!frames_.empty()) {
                const std::size_t top = frames_.size() - 1;
                if (auto* expansion = std::get_if<Expansion>(&frames_[top])) {
                    resume(*expansion, top);
                } else {
                    resume(std::get<Attachment>(frames_[top]));
                }
            }
            if (waiting_.empty()) return;
            StoredNode& node = *waiting_.front();
            waiting_.pop_front();
            expand(node);
        }
    }

    // Reads the module of `node` and starts its expansion, when it has anything to read. The
    // node keeps the module's spec; the expansion takes the name and package, all it asks for.
    void expand(StoredNode& node) {
        std::optional<LoadedModule> loaded;
        ModuleSpec spec;
        {
            const NodeReadGuard module = node.read();
            loaded = host_.load_module(module->spec);
            if (!loaded) return;
            spec.name = module->spec.name;
            spec.parent = module->spec.parent;
        }
        expand_loaded(std::move(spec), *loaded, &node);
    }

    void expand_loaded(ModuleSpec spec, LoadedModule& loaded, StoredNode* node = nullptr) {
        if (loaded.imports) {
            begin_expansion(std::move(spec), std::move(*loaded.imports), node);
        } else {
            process_imports(std::move(spec), loaded.text, node);
        }
    }

    // Where a from-import stands: the module itself comes first, then the question whether it is a
    // package, then, for a package, its submodules named by the aliases.
    enum class FromStep { Module, Package, Submodules };

    struct Expansion {
        ModuleSpec spec;  // in an exact build, the module's name and package only
        std::vector<ImportLine> imports;
        StoredNode* node = nullptr;  // the module's node in the graph
        std::size_t statement = 0;   // the record in progress
        std::size_t alias = 0;       // its next alias to hand over
        FromStep from_step = FromStep::Module;
        std::string resolved_module{};  // the absolute target of a relative from-import
    };

    struct Attachment {
        std::size_t importer = 0;  // the Expansion of the module whose text holds the import
        ModuleSpec found;
        bool cached = false;  // the cache holds the module; decided before its parents are attached
        NameNotes::Note* known = nullptr;  // exact builds: the note of the name that found it
        bool parents_attached = false;
    };

    using Frame = std::variant<Expansion, Attachment>;

    const ModuleSpec& importer_spec(std::size_t importer) const {
        return std::get<Expansion>(frames_[importer]).spec;
    }

    StoredNode& importer_node(std::size_t importer) const {
        return *std::get<Expansion>(frames_[importer]).node;
    }

    // The host's answer for `name`: borrowed until the next lookup in a plain build, kept for
    // the build in an exact one, which asks the host once per name.
    const ModuleSpec* find_spec(std::string_view name) {
        if (options().exact) return note(name).found;
        const ModuleSpec* found = host_.lookup(name);
        host_.checkpoint();
        return found;
    }

    NameNotes::Note& note(std::string_view name) {
        NameNotes::Note& known = notes_[name];
        if (!known.asked) {
            known.found = host_.lookup(name);
            known.asked = true;
            known.dotted =
                known.found != nullptr && known.found->name.find('.') != std::string::npos;
            host_.checkpoint();
        }
        return known;
    }

    // The graph's node of the module a note found, when the graph holds it.
    StoredNode* node_of(NameNotes::Note& known) {
        if (known.node == nullptr && known.found != nullptr) {
            known.node = builder_.graph.find(known.found->name);
        }
        return known.node;
    }

    // Starts the expansion of `spec`. The source text is needed only until it is parsed: the
    // records own their texts. `node` is the module's node, when the caller has it at hand.
    void process_imports(ModuleSpec spec, std::string_view source, StoredNode* node = nullptr) {
        enter(spec.name);
        std::vector<ImportLine> imports = host_.read_imports(source);
        push_expansion(std::move(spec), std::move(imports), node);
    }

    void begin_expansion(ModuleSpec spec, std::vector<ImportLine> imports,
                         StoredNode* node = nullptr) {
        enter(spec.name);
        push_expansion(std::move(spec), std::move(imports), node);
    }

    void enter(const std::string& name) {
        MODWEAVE_LOG(Debug, kTarget, kBeginRule);
        MODWEAVE_LOG(Debug, kTarget, "Expanding '", name, "'");
        MODWEAVE_LOG(Debug, kTarget, kBeginRule);
        if (!builder_.in_progress.empty() && builder_.in_progress.contains(name)) {
            fail("Double processing detected for name: '", name, "'");
        }
        if (spare_entry_.empty()) {
            builder_.in_progress.insert(name);
        } else {
            spare_entry_.value() = name;
            builder_.in_progress.insert(std::move(spare_entry_));
        }
    }

    void push_expansion(ModuleSpec spec, std::vector<ImportLine> imports,
                        StoredNode* node = nullptr) {
        if (builder_.verbose) dump(imports);
        if (!options().type_checking) {
            std::erase_if(imports, [](const ImportLine& import) { return import.type_checking; });
        }
        if (options().exact) look_ahead(spec, imports);
        if (node == nullptr) node = builder_.graph.find(spec.name);
        if (node == nullptr) fail("Node does not exist on graph: ", spec.name);
        frames_.emplace_back(std::in_place_type<Expansion>, std::move(spec), std::move(imports),
                             node);
    }

    // Resolves the names an expansion is about to ask for and tells the host which new modules
    // it will read, in the order it will read them. An exact build resolves each name once, so
    // asking early costs nothing later.
    void look_ahead(const ModuleSpec& spec, const std::vector<ImportLine>& imports) {
        const auto consider = [&](std::string_view name) {
            // A name considered before had its parents considered with it.
            if (name.find('.') != std::string_view::npos) {
                const NameNotes::Note* known = notes_.find(name);
                if (known != nullptr && known->considered) return;
            }
            // Parents are attached before the module, outermost first.
            for (std::size_t end = name.find('.');; end = name.find('.', end + 1)) {
                const std::string_view prefix = name.substr(0, end);
                if (!options().exclude.covers(prefix)) {
                    NameNotes::Note& known = note(prefix);
                    // A module is worth reading once: later, it is in the graph or on its way.
                    if (!known.considered) {
                        known.considered = true;
                        if (worth_reading(known)) host_.prefetch(*known.found);
                    }
                }
                if (end == std::string_view::npos) return;
            }
        };
        std::string target;
        for (const ImportLine& line : imports) {
            if (const auto* import = std::get_if<Import>(&line.statement)) {
                for (const auto& alias : import->names)
                    consider(alias.name);
                continue;
            }
            const auto& from = std::get<ImportFrom>(line.statement);
            if (!from.level || !from.module) continue;
            if (*from.level == 0) {
                target = *from.module;
            } else if (spec.parent != terminal_name && !spec.parent.empty() &&
                       can_resolve(spec.parent, *from.level)) {
                target = importlib::resolve_name(*from.module, spec.parent, *from.level);
            } else {
                continue;
            }
            consider(target);
            const ModuleSpec* package = find_spec(target);
            if (package == nullptr || !package->is_package()) continue;
            for (const auto& alias : from.names) {
                if (alias.name != "*") consider(target + "." + alias.name);
            }
        }
    }

    // A module new to this build that the walk would read.
    bool worth_reading(NameNotes::Note& known) {
        if (known.found == nullptr || !known.found->origin || node_of(known) != nullptr) {
            return false;
        }
        const std::string& name = known.found->name;
        return !(builder_.cache && builder_.cache->has_node(name)) && options().expands(name) &&
               !options().exclude.covers(name);
    }

    static void dump(const std::vector<ImportLine>& imports) {
        std::vector<minimal_parser::ImportStmt> statements;
        statements.reserve(imports.size());
        for (const ImportLine& import : imports)
            statements.push_back(import.statement);
        minimal_parser::dump_imports(statements);
    }

    const BuildOptions& options() const { return builder_.options; }

    void finish(Expansion& expansion) {
        // The entry is kept for the next expansion: most builds have one or two in progress at
        // a time, and one after another for every module.
        spare_entry_ = builder_.in_progress.extract(expansion.spec.name);
        MODWEAVE_LOG(Debug, kTarget, kEndRule);
        MODWEAVE_LOG(Debug, kTarget, "Done '", expansion.spec.name, "'");
        MODWEAVE_LOG(Debug, kTarget, kEndRule);
        host_.release(std::move(expansion.imports));
        frames_.pop_back();
    }

    static void next_statement(Expansion& expansion) {
        ++expansion.statement;
        expansion.alias = 0;
        expansion.from_step = FromStep::Module;
    }

    // Makes the expansion's next call of process_dependency, or ends it.
    void resume(Expansion& expansion, std::size_t self) {
        if (expansion.statement == expansion.imports.size()) {
            finish(expansion);
            return;
        }
        auto& statement = expansion.imports[expansion.statement].statement;
        if (const auto* import = std::get_if<Import>(&statement)) {
            if (expansion.alias == import->names.size()) {
                next_statement(expansion);
                return;
            }
            process_dependency(self, import->names[expansion.alias++].name, Report::Unresolved);
            return;
        }
        resume_from_import(expansion, self, std::get<ImportFrom>(statement));
    }

    static std::string_view from_target(const Expansion& expansion, const ImportFrom& import) {
        return *import.level == 0 ? std::string_view(*import.module)
                                  : std::string_view(expansion.resolved_module);
    }

    void resume_from_import(Expansion& expansion, std::size_t self, const ImportFrom& import) {
        switch (expansion.from_step) {
            case FromStep::Module:
                if (!import.level || !import.module) {
                    fail(
                        "Broken assumption of implementation, revist this block to see if "
                        "there are issues.");
                }
                if (*import.level != 0) {
                    const std::string& package = expansion.spec.parent;
                    if (options().exact && (package == terminal_name || package.empty() ||
                                            !can_resolve(package, *import.level))) {
                        // The interpreter refuses a relative import outside a package, or one
                        // that climbs above its top: a fact about the code, not a failure.
                        record_unresolved(expansion, relative_reference(import));
                        next_statement(expansion);
                        return;
                    }
                    if (package == terminal_name) {
                        fail(
                            "Attempted relative import from terminal node (no known parent "
                            "package)");
                    }
                    expansion.resolved_module =
                        importlib::resolve_name(*import.module, package, *import.level);
                }
                expansion.from_step = FromStep::Package;
                process_dependency(self, from_target(expansion, import), Report::Unresolved);
                return;
            case FromStep::Package: {
                // Only a package's aliases can name modules; a plain module's name attributes.
                const ModuleSpec* target = find_spec(from_target(expansion, import));
                if (target != nullptr && target->is_package()) {
                    expansion.from_step = FromStep::Submodules;
                    expansion.alias = 0;
                } else {
                    next_statement(expansion);
                }
                return;
            }
            case FromStep::Submodules: {
                if (expansion.alias == import.names.size()) {
                    next_statement(expansion);
                    return;
                }
                // A star names no submodule of its own: what it brings in is the module's affair.
                const std::string& alias = import.names[expansion.alias++].name;
                if (alias == "*") return;
                // One buffer for all submodule names: process_dependency reads its name only
                // before it returns.
                submodule_name_.assign(from_target(expansion, import));
                submodule_name_.push_back('.');
                submodule_name_.append(alias);
                process_dependency(self, submodule_name_, Report::Nothing);
                return;
            }
        }
    }

    // Whether a name that does not resolve is worth keeping: a name the text imports is, a
    // parent package or a candidate submodule of a from-import is not.
    enum class Report { Nothing, Unresolved };

    void record_unresolved(Expansion& expansion, std::string name) {
        const ImportLine& statement = expansion.imports[expansion.statement];
        builder_.graph.add_unresolved(expansion.spec.name,
                                      {.name = std::move(name), .line = statement.line});
    }

    // Resolves `name` and relates it to the importer. A module the graph already holds only gets
    // the relationship; a new one becomes an Attachment, which attaches its parents first. `name`
    // is read only before anything is pushed.
    void process_dependency(std::size_t importer, std::string_view name, Report report) {
        const NamePrefixes& excluded = options().exclude;
        if (!excluded.empty() && excluded.covers(name)) return;
        NameNotes::Note* known = options().exact ? &note(name) : nullptr;
        const ModuleSpec* found = known != nullptr ? known->found : find_spec(name);
        if (found == nullptr) {
            MODWEAVE_LOG(Debug, kTarget, "!!!! Unable to find spec for name: '", name, "' !!!!");
            if (report == Report::Unresolved) {
                record_unresolved(std::get<Expansion>(frames_[importer]), std::string(name));
            }
            return;
        }
        // The interpreter's name for the module, which can differ from the one imported.
        const std::string& key = found->name;
        if (!excluded.empty() && excluded.covers(key)) return;
        const ModuleSpec& from = importer_spec(importer);
        // An exact build knows most modules by their nodes, and tells a module importing itself
        // by its node: the resolver's answer for the module, kept apart with all the others, is
        // not read again.
        StoredNode* present = known != nullptr ? node_of(*known) : nullptr;
        const bool itself =
            present != nullptr ? present == &importer_node(importer) : key == from.name;
        if (itself) {
            // A package importing its own submodule reaches itself as the submodule's parent;
            // its own parents it imports all the same, whichever way the module was found.
            if (known != nullptr && known->dotted) relate_to_parents(importer, key);
            return;
        }

        ++builder_.processed;
        MODWEAVE_LOG(Debug, kTarget, "Processing dependency: ", from.name, " -> ", key);
        if (known == nullptr) present = builder_.graph.find(key);
        if (present != nullptr) {
            builder_.graph.add_dependency(importer_node(importer), *present);
            if (known != nullptr && known->dotted) relate_to_parents(importer, key);
            return;
        }
        // A finder can answer a parent's name with a module whose parents are still being
        // attached; attaching that module again would ask for the same parent again, forever.
        if (in_parent_chain(key)) {
            MODWEAVE_LOG(Warn, kTarget, "Parent '", name, "' resolves to '", key,
                         "', which is already being attached; skipping it.");
            return;
        }
        const bool cached = key != terminal_name && builder_.cache && builder_.cache->has_node(key);
        frames_.emplace_back(std::in_place_type<Attachment>, importer, *found, cached, known);
    }

    // Importing a module imports its parent packages first, so in an exact graph the importer
    // depends on each of them too, whichever importer happened to attach the module first (the
    // parents of a module new to the graph are related through process_parent). Only parents the
    // graph holds are related; the module's attachment attached them. `module` is the name of
    // a host's answer, which stays as it is while the lookups below add others: an exact build
    // asks for each name once, and the host keeps every answer for the build.
    void relate_to_parents(std::size_t importer, std::string_view module) {
        const NamePrefixes& excluded = options().exclude;
        StoredNode& from = importer_node(importer);
        for (auto dot = module.rfind('.'); dot != std::string_view::npos && dot != 0;
             dot = module.rfind('.', dot - 1)) {
            const std::string_view parent = module.substr(0, dot);
            if (!excluded.empty() && excluded.covers(parent)) continue;
            NameNotes::Note& known = note(parent);
            const ModuleSpec* found = known.found;
            if (found == nullptr || (!excluded.empty() && excluded.covers(found->name))) continue;
            // Only parents the graph holds, and not the importer itself.
            StoredNode* present = node_of(known);
            if (present == nullptr || present == &from) continue;
            ++builder_.processed;
            MODWEAVE_LOG(Debug, kTarget, "Processing dependency: ", importer_spec(importer).name,
                         " -> ", found->name);
            builder_.graph.add_dependency(from, *present);
        }
    }

    // Whether `key` is one of the modules whose parents are being attached: the attachments on
    // top of the stack, each one asking for the parent of the one below it.
    bool in_parent_chain(std::string_view key) const {
        for (auto frame = frames_.rbegin(); frame != frames_.rend(); ++frame) {
            const auto* attachment = std::get_if<Attachment>(&*frame);
            if (attachment == nullptr) return false;
            if (attachment->found.name == key) return true;
        }
        return false;
    }

    // Whether the grafts of the root's cached imports may wait until the walk is done. They may
    // when the cache is one build's graph, which the build may turn out to be, and no records
    // of the graph's changes are wanted: grafts put off log none of their own.
    static bool may_defer_grafts(const GraphBuilder& builder) {
        using logging_bridge::Level;
        if (!builder.options.exact || !builder.cache || !builder.cache_is_one_build) return false;
        return !logging_bridge::records_wanted(Level::Debug, kTarget) &&
               !logging_bridge::records_wanted(Level::Debug, logging_bridge::targets::core_types);
    }

    // Makes the grafts put off so far, in the order they were put off, and makes every later one
    // at once.
    void stop_deferring() {
        if (!deferring_) return;
        deferring_ = false;
        for (const DepGraph::NodeMap::value_type* cached : deferred_) {
            // A graft before this one may have brought the module in.
            if (StoredNode* present = builder_.graph.find(cached->first)) {
                builder_.graph.add_dependency(*deferred_importer_, *present);
            } else {
                graft_from_cache(*deferred_importer_, cached->first);
            }
        }
        deferred_.clear();
    }

    // Shares in the part of the cache reachable from `key`, which this graph lacks.
    void graft_from_cache(StoredNode& importer, std::string_view key) {
        DepGraph& graph = builder_.graph;
        // Exact depths are worked out at the end, so the cached part is shared in node by node
        // where this graph lacks it, never twice.
        const std::size_t copied = graph.graft(*builder_.cache, key, grafted_);
        builder_.from_cache += copied + 1;
        builder_.processed += copied;
        graph.add_dependency(importer, *graph.find(key));
        host_.reached(graph.size(), false);
    }

    void process_parent(std::size_t importer, std::string_view name) {
        const auto dot = name.rfind('.');
        if (dot == std::string_view::npos) return;
        const std::string_view parent = name.substr(0, dot);
        if (!parent.empty()) process_dependency(importer, parent, Report::Nothing);
    }

    void resume(Attachment& attachment) {
        if (!attachment.parents_attached) {
            attachment.parents_attached = true;
            process_parent(attachment.importer, attachment.found.name);
            return;
        }
        attach(attachment);
    }

    // The rest of process_dependency once the parents are attached. Pops the attachment.
    void attach(Attachment& attachment) {
        DepGraph& graph = builder_.graph;
        const std::string& from = importer_spec(attachment.importer).name;
        const std::string& key = attachment.found.name;

        if (deferring_) {
            // While only the root's cached imports come up, the graph holds the root alone.
            if (attachment.cached && attachment.importer == 0) {
                deferred_importer_ = &importer_node(attachment.importer);
                deferred_.push_back(&*builder_.cache->nodes().find(key));
                frames_.pop_back();
                return;
            }
            stop_deferring();
        }
        // Expanding a parent package can reach the module itself.
        if (StoredNode* present = graph.find(key)) {
            graph.add_dependency(importer_node(attachment.importer), *present);
            frames_.pop_back();
            return;
        }
        if (attachment.cached && options().exact) {
            graft_from_cache(importer_node(attachment.importer), key);
            frames_.pop_back();
            return;
        }
        if (attachment.cached) {
            DepGraph copy = builder_.cache->clone_from(key);
            const std::size_t copied = copy.num_dependencies();
            builder_.from_cache += copied + 1;
            builder_.processed += copied;
            graph.add_graph(from, key, std::move(copy));
            frames_.pop_back();
            host_.reached(graph.size(), false);
            return;
        }

        if (options().exact) {
            // Exact depths are worked out at the end, and the graph does not depend on the order
            // of expansions: so they go breadth first, which gives the host the most time to read
            // each module ahead of need.
            const bool expands = options().expands(key);
            StoredNode& importer = importer_node(attachment.importer);
            StoredNode& added =
                graph.add_stored(DepNode(std::move(attachment.found), std::nullopt));
            if (attachment.known != nullptr) attachment.known->node = &added;
            graph.add_dependency(importer, added);
            if (expands) waiting_.push_back(&added);
            frames_.pop_back();
            host_.reached(graph.size(), false);
            return;
        }
        std::optional<LoadedModule> loaded;
        if (options().expands(key)) loaded = host_.load_module(attachment.found);
        // The module spec goes to the node alone unless the expansion needs it too. The stored
        // node's name stays where it is while the graph only grows, so it can name the new edge.
        ModuleSpec spec = std::move(attachment.found);
        const std::string_view name =
            graph
                .add(loaded ? DepNode(spec, std::nullopt) : DepNode(std::move(spec), std::nullopt))
                ->name;
        graph.add_dependency(from, name);
        frames_.pop_back();
        host_.reached(graph.size(), false);
        if (loaded) expand_loaded(std::move(spec), *loaded);
    }

    GraphBuilder& builder_;
    BuildHost& host_;
    std::vector<Frame> frames_;
    // Exact builds: the nodes of the modules found and not yet expanded, in turn, and the walk's
    // notes.
    std::deque<StoredNode*> waiting_;
    NameNotes notes_;
    std::string submodule_name_;
    DepGraph::Grafted grafted_;  // the nodes the cache shared in
    // Exact builds from a cache that holds one build's graph: the root's cached imports, as the
    // cache's entries, while nothing else has joined the graph. Should the root come out as the
    // cache's own, the cache's graph is the build's and nothing need be grafted.
    bool deferring_ = false;
    std::vector<const DepGraph::NodeMap::value_type*> deferred_;
    StoredNode* deferred_importer_ = nullptr;       // the root's node
    GraphBuilder::NameSet::node_type spare_entry_;  // an entry of builder_.in_progress, for reuse
};

}  // namespace

namespace {

ModuleSpec root_spec(std::optional<std::string_view> package) {
    return {
        .name = std::string(terminal_name),
        .origin = std::nullopt,
        .parent = std::string(package.value_or(terminal_name)),
        .submodule_search_locations =
            package ? std::optional<std::vector<std::string>>(std::in_place) : std::nullopt,
    };
}

}  // namespace

DepGraph GraphBuilder::build(std::string_view source, std::optional<std::string_view> package,
                             BuildHost& host) {
    return build_root(root_spec(package), host, [&](ImportWalk& walk, ModuleSpec root) {
        walk.run(std::move(root), source);
    });
}

DepGraph GraphBuilder::build_modules(const std::vector<std::string>& modules, BuildHost& host) {
    return build_root(root_spec(std::nullopt), host, [&](ImportWalk& walk, ModuleSpec root) {
        std::vector<ImportLine> imports;
        imports.reserve(modules.size());
        for (const std::string& module : modules) {
            minimal_parser::Import import;
            import.names.push_back({.name = module, .asname = std::nullopt});
            imports.push_back({.statement = std::move(import), .line = std::nullopt});
        }
        walk.run(std::move(root), std::move(imports));
    });
}

template <class Expand>
DepGraph GraphBuilder::build_root(importlib::ModuleSpec root, BuildHost& host, Expand&& expand) {
    std::size_t in_cache = 0;  // nodes of the exact graph that the cache has too
    bool whole_cache = false;  // the build came out as the cache's graph
    try {
        graph.add(DepNode(root, 0));
        ImportWalk walk(*this, host);
        expand(walk, std::move(root));
        if (const auto grafts = walk.finish_deferred()) {
            processed += grafts->edges;
            from_cache += grafts->edges + grafts->grafts;
            whole_cache = true;
        } else if (options.exact) {
            if (cache) in_cache = graph.keep_dependents_in_graph(walk.grafted(), *cache);
            graph.assign_distances_from(terminal_name);
        }
        host.reached(whole_cache ? cache->size() : graph.size(), true);
        host.checkpoint();
    } catch (...) {
        reset_working_fields();
        throw;
    }

    if (from_cache != 0) {
        MODWEAVE_LOG(Info, kTarget, "Processed ", processed, " dependency relationships (",
                     from_cache, " from cache).");
    } else {
        MODWEAVE_LOG(Info, kTarget, "Processed ", processed, " dependency relationships.");
    }
    processed = 0;
    from_cache = 0;
    in_progress = NameSet{};
    if (whole_cache) {
        graph = DepGraph{};
        return cache->share();
    }
    DepGraph taken = std::exchange(graph, DepGraph{});
    if (cache) {
        // An exact build's cached nodes are complete as they stand; only new ones join.
        if (options.exact) {
            if (in_cache != taken.size()) {
                cache->add_missing(taken);
                cache_is_one_build = false;
            }
        } else {
            cache->merge(DepGraph(taken));
        }
    } else if (options.exact) {
        // Nothing changes a finished exact graph but the merges of later builds, so the cache
        // holds the nodes of this one together with the caller until either side changes.
        cache.emplace(taken.share());
        cache_is_one_build = true;
    } else {
        cache.emplace(taken);
    }
    // Later exact builds graft from the cache, following these notes.
    if (options.exact) cache->note_targets(taken);
    return taken;
}

NamePrefixes::NamePrefixes(const std::vector<std::string>& prefixes)
    : prefixes_(prefixes.begin(), prefixes.end()) {}

bool NamePrefixes::covers(std::string_view name) const {
    if (prefixes_.empty()) return false;
    for (std::size_t end = name.find('.');; end = name.find('.', end + 1)) {
        if (prefixes_.contains(name.substr(0, end))) return true;
        if (end == std::string_view::npos) return false;
    }
}

std::optional<std::string> BuildHost::load_source(const ModuleSpec& spec) {
    return core::load_source(spec);
}

const ModuleSpec* BuildHost::lookup(std::string_view name) {
    std::optional<ModuleSpec> answer = find_spec(name);
    auto known = answers_.find(name);
    if (known == answers_.end()) {
        known = answers_.emplace(std::string(name), std::move(answer)).first;
    } else {
        known->second = std::move(answer);
    }
    return known->second ? &*known->second : nullptr;
}

std::optional<LoadedModule> BuildHost::load_module(const ModuleSpec& spec) {
    std::optional<std::string> text = load_source(spec);
    if (!text) return std::nullopt;
    return LoadedModule{.text = std::move(*text), .imports = std::nullopt};
}

std::vector<ImportLine> BuildHost::read_imports(std::string_view source) {
    std::vector<minimal_parser::ImportStmt> statements = minimal_parser::parse(source);
    std::vector<ImportLine> lines;
    lines.reserve(statements.size());
    for (auto& statement : statements)
        lines.push_back({.statement = std::move(statement), .line = std::nullopt});
    return lines;
}

void GraphBuilder::reset_working_fields() {
    graph = DepGraph{};
    in_progress = NameSet{};
    processed = 0;
    from_cache = 0;
}

}  // namespace modweave::core
