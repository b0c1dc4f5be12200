// Shorthands for the builder tests: a scratch directory of source files, a spec lookup served
// from a table, and the capture of a file descriptor's output.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/builder.hpp"
#include "importlib/types.hpp"

namespace modweave::core::builder_test {

// A fresh directory under the system's temporary folder, removed with everything in it.
class ScratchDirectory {
public:
    ScratchDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "modweave-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::filesystem::path& path() const noexcept { return path_; }

    // Writes `content` byte for byte to `relative`, making the folders on the way.
    std::string write(const std::string& relative, std::string_view content) const {
        const std::filesystem::path file = path_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out) throw std::runtime_error("cannot write " + file.string());
        return file.string();
    }

private:
    std::filesystem::path path_;
};

// Thrown by the fake host where a test asks for it, standing in for a Python interrupt.
struct HostInterrupt {
    std::string where;
};

// A spec lookup from a table, which counts what the builder asks of it.
class FakeHost final : public BuildHost {
public:
    explicit FakeHost(const ScratchDirectory& directory) : directory_(directory) {}

    // A top-level or nested plain module whose source file holds `source`.
    void module(const std::string& name, std::string_view source) {
        const std::string file = directory_.write(relative_path(name) + ".py", source);
        specs_[name] = {name, file, parent_of(name), std::nullopt};
    }

    // A package whose __init__.py holds `source`; its parent is its own name.
    void package(const std::string& name, std::string_view source) {
        const std::string file = directory_.write(relative_path(name) + "/__init__.py", source);
        const std::string folder = (directory_.path() / relative_path(name)).string();
        specs_[name] = {name, file, name, std::vector<std::string>{folder}};
    }

    // A module with any origin and no file written for it.
    void spec(const std::string& name, std::optional<std::string> origin) {
        specs_[name] = {name, std::move(origin), parent_of(name), std::nullopt};
    }

    // Looking up `name` yields the module spec registered as `registered`.
    void alias(const std::string& name, const std::string& registered) {
        aliases_[name] = registered;
    }

    void throw_on_lookup(std::string name) { throwing_name_ = std::move(name); }
    void throw_on_checkpoint(std::size_t call) { throwing_checkpoint_ = call; }

    std::optional<importlib::ModuleSpec> find_spec(std::string_view name) override {
        lookups.emplace_back(name);
        if (throwing_name_ == name) throw HostInterrupt{std::string(name)};
        std::string key(name);
        if (const auto alias = aliases_.find(key); alias != aliases_.end()) key = alias->second;
        const auto found = specs_.find(key);
        if (found == specs_.end()) return std::nullopt;
        return found->second;
    }

    void checkpoint() override {
        ++checkpoints;
        if (checkpoints == throwing_checkpoint_) throw HostInterrupt{"checkpoint"};
    }

    std::string origin_of(const std::string& name) const { return *specs_.at(name).origin; }

    std::vector<std::string> lookups;  // every name asked for, in order
    std::size_t checkpoints = 0;       // calls of checkpoint()

private:
    static std::string relative_path(std::string name) {
        for (char& c : name) {
            if (c == '.') c = '/';
        }
        return name;
    }
    static std::string parent_of(const std::string& name) {
        const auto dot = name.rfind('.');
        return dot == std::string::npos ? std::string() : name.substr(0, dot);
    }

    const ScratchDirectory& directory_;
    std::map<std::string, importlib::ModuleSpec> specs_;
    std::map<std::string, std::string> aliases_;
    std::optional<std::string> throwing_name_;
    std::size_t throwing_checkpoint_ = 0;
};

// Sends what is written to `fd` into a temporary file until `finish()`, which restores the
// descriptor and returns the text.
class FdCapture {
public:
    explicit FdCapture(int fd) : fd_(fd) {
        std::fflush(nullptr);
        saved_ = ::dup(fd_);
        std::FILE* file = std::tmpfile();
        if (saved_ < 0 || file == nullptr) throw std::runtime_error("cannot capture");
        file_ = file;
        ::dup2(::fileno(file_), fd_);
    }
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;
    ~FdCapture() {
        restore();
        std::fclose(file_);
    }

    std::string finish() {
        restore();
        std::string text;
        std::rewind(file_);
        char buffer[4096];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) {
            text.append(buffer, got);
        }
        return text;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(nullptr);
        ::dup2(saved_, fd_);
        ::close(saved_);
        saved_ = -1;
    }

    int fd_;
    int saved_ = -1;
    std::FILE* file_ = nullptr;
};

// Every edge of a graph as (importer, imported), in a stable order.
inline std::set<std::pair<std::string, std::string>> edges_of(const DepGraph& graph) {
    std::set<std::pair<std::string, std::string>> edges;
    graph.for_each_node([&](const DepNode& node) {
        for (const auto& to : node.dependencies)
            edges.emplace(node.name, to);
    });
    return edges;
}

inline std::map<std::string, std::optional<std::int32_t>> depths_of(const DepGraph& graph) {
    std::map<std::string, std::optional<std::int32_t>> depths;
    graph.for_each_node([&](const DepNode& node) { depths.emplace(node.name, node.depth); });
    return depths;
}

}  // namespace modweave::core::builder_test
