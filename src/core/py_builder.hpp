// The Python class GraphBuilder.
#pragma once

#include <Python.h>

#include <string_view>

#include "core/builder.hpp"
#include "host/call_frame.hpp"

namespace modweave::core {

struct GraphBuilderClass {
    using Record = GraphBuilder;
    static constexpr std::string_view name = "GraphBuilder";
    static PyTypeObject* type();
};

}  // namespace modweave::core
