// The Python class GraphBuilder.
#pragma once

#include <Python.h>

#include <memory>
#include <string_view>

#include "core/builder.hpp"
#include "host/call_frame.hpp"
#include "host/object.hpp"
#include "importlib/file_finder.hpp"

namespace modweave::core {

// A builder as Python holds it: the native builder, the callable it reports progress to, and
// what its exact builds have seen of the file system.
struct PythonGraphBuilder {
    GraphBuilder builder;
    host::Object progress;  // empty when no progress is wanted
    // Directory listings, checked against the directories at each build rather than read again.
    // Held apart so that the record stays movable.
    std::unique_ptr<importlib::FileSystemView> files =
        std::make_unique<importlib::FileSystemView>();
};

struct GraphBuilderClass {
    using Record = PythonGraphBuilder;
    static constexpr std::string_view name = "GraphBuilder";
    static PyTypeObject* type();
};

}  // namespace modweave::core
