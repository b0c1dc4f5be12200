// The Python classes DepNode and DepGraph: each instance owns one record.
#pragma once

#include <Python.h>

#include <string_view>

#include "core/types.hpp"
#include "host/call_frame.hpp"

namespace modweave::core {

struct DepNodeClass {
    using Record = DepNode;
    static constexpr std::string_view name = "DepNode";
    static PyTypeObject* type();
};

struct DepGraphClass {
    using Record = DepGraph;
    static constexpr std::string_view name = "DepGraph";
    static PyTypeObject* type();
};

// A new DepGraph object that owns `graph`.
host::Object wrap_graph(DepGraph graph);

}  // namespace modweave::core
