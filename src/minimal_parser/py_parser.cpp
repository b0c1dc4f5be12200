#include "minimal_parser/py_parser.hpp"

#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "host/call_frame.hpp"
#include "host/values.hpp"
#include "minimal_parser/parser.hpp"

namespace modweave::minimal_parser {

using host::Object;

namespace {

// Keys are made once per call of into_py's callers rather than interned: a dict insertion of a
// fresh short str costs less than the bookkeeping of a global cache would save.
void set_item(const Object& dict, std::string_view key, const Object& value) {
    host::dict_set(dict.handle(), host::make_str(key), value);
}

Object alias_into_py(Alias alias) {
    Object dict = host::make_dict();
    set_item(dict, "name", host::make_str(alias.name));
    if (alias.asname) set_item(dict, "asname", host::make_str(*alias.asname));
    return dict;
}

}  // namespace

Object alias_vec_to_list(std::vector<Alias> aliases) {
    Object list = host::make_list();
    for (Alias& alias : aliases)
        host::list_append(list.handle(), alias_into_py(std::move(alias)));
    return list;
}

Object into_py(ImportStmt statement) {
    Object dict = host::make_dict();
    std::visit(
        [&](auto&& record) {
            using Record = std::decay_t<decltype(record)>;
            if constexpr (std::is_same_v<Record, Import>) {
                set_item(dict, "type", host::make_str("import"));
            } else {
                set_item(dict, "type", host::make_str("import_from"));
                if (record.module) set_item(dict, "module", host::make_str(*record.module));
                if (record.level) {
                    set_item(dict, "level",
                             host::make_int(static_cast<std::uint64_t>(*record.level)));
                }
            }
            if (!record.names.empty()) {
                set_item(dict, "names", alias_vec_to_list(std::move(record.names)));
            }
        },
        std::move(statement));
    return dict;
}

namespace {

constexpr host::Signature<1> parse_signature{"parse", {{{"source", true}}}};

PyObject* parse_from_python(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) noexcept {
    return host::call_function(
        parse_signature, host::ArgumentList(args, nargsf, kwnames), [](const auto& slots) {
            std::string_view source = host::text_argument(slots[0], "source");
            std::vector<ImportStmt> statements = parse(source);
            Object list = host::make_list();
            for (ImportStmt& statement : statements) {
                host::list_append(list.handle(), into_py(std::move(statement)));
            }
            return list;
        });
}

PyMethodDef parse_definition = {
    "parse",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_from_python)),
    METH_FASTCALL | METH_KEYWORDS,
    "parse(source)\n--\n\n",
};

}  // namespace

PyMethodDef* parse_method_definition() {
    return &parse_definition;
}

}  // namespace modweave::minimal_parser
