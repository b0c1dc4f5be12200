// The Python class GraphBuilder.
#pragma once

#include <Python.h>

#include <string_view>

#include "core/builder.hpp"
#include "host/call_frame.hpp"
#include "host/object.hpp"

namespace modweave::core {

// A builder as Python holds it: the native builder and the callable it reports progress to.
struct PythonGraphBuilder {
    GraphBuilder builder;
    host::Object progress;  // empty when no progress is wanted
};

struct GraphBuilderClass {
    using Record = PythonGraphBuilder;
    static constexpr std::string_view name = "GraphBuilder";
    static PyTypeObject* type();
};

}  // namespace modweave::core
