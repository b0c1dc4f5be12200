#include "scanner/py_scanner.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/call_frame.hpp"
#include "host/interpreter_lock.hpp"
#include "host/values.hpp"
#include "internal_failure.hpp"
#include "minimal_parser/py_parser.hpp"

namespace modweave::scanner {

using host::Object;

IdentifierNormalizer interpreter_normalizer() {
    return [](std::string_view identifier) -> std::string {
        const host::InterpreterLock lock;
        const Object module = host::require_value(PyImport_ImportModule("unicodedata"));
        const Object name = host::make_str(identifier);
        const Object normalized = host::require_value(
            PyObject_CallMethod(module.get(), "normalize", "sO", "NFKC", name.get()));
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(normalized.get(), &size);
        if (data == nullptr)
            fail("failed to read a normalized name: ", host::PythonError().describe());
        return std::string(data, static_cast<std::size_t>(size));
    };
}

namespace {

constexpr host::Signature<1> scan_signature{"scan", {{{"source", true}}}};

// The record of `parse` with "line" after its keys, and "type_checking" only when true.
Object into_py(ScannedImport scanned) {
    Object dict = minimal_parser::into_py(std::move(scanned.statement));
    host::dict_set(dict.handle(), host::make_str("line"),
                   host::make_int(static_cast<std::uint64_t>(scanned.line)));
    if (scanned.type_checking) {
        host::dict_set(dict.handle(), host::make_str("type_checking"),
                       Object::borrow(host::Handle(Py_True)));
    }
    return dict;
}

PyObject* scan_from_python(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) noexcept {
    return host::call_function(
        scan_signature, host::ArgumentList(args, nargsf, kwnames), [](const auto& slots) {
            const std::string_view source = host::text_argument(slots[0], "source");
            std::vector<ScannedImport> imports = scan(source, interpreter_normalizer());
            Object list = host::make_list();
            for (ScannedImport& scanned : imports)
                host::list_append(list.handle(), into_py(std::move(scanned)));
            return list;
        });
}

PyMethodDef scan_definition = {
    "scan",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_from_python)),
    METH_FASTCALL | METH_KEYWORDS,
    "scan(source)\n--\n\n",
};

}  // namespace

PyMethodDef* scan_method_definition() {
    return &scan_definition;
}

}  // namespace modweave::scanner
