// The graph builder: turns a source text into the dependency graph of the modules it imports.
#pragma once

namespace modweave::core {

struct GraphBuilder {
    bool verbose = false;  // dump every parsed import list to standard output
};

}  // namespace modweave::core
