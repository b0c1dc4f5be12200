#include "minimal_parser/util.hpp"

#include <unistd.h>

#include <optional>
#include <type_traits>

#include "internal_failure.hpp"
#include "system/io.hpp"

namespace modweave::minimal_parser {
namespace {

template <class... Overloads>
struct Visitor : Overloads... {
    using Overloads::operator()...;
};
// Spelled out for compilers that do not yet deduce aggregate template arguments.
template <class... Overloads>
Visitor(Overloads...) -> Visitor<Overloads...>;

}  // namespace

void dump_alias(const std::vector<Alias>& names, std::size_t indent, std::string& out) {
    const std::string margin(indent, ' ');
    logging_bridge::append_all(out, margin, "{\n");
    for (const Alias& alias : names) {
        logging_bridge::append_all(out, margin, "  name: ", alias.name, "\n");
        if (alias.asname)
            logging_bridge::append_all(out, margin, "  asname: ", *alias.asname, "\n");
    }
    logging_bridge::append_all(out, margin, "}\n");
}

std::string format_imports(const std::vector<ImportStmt>& imports) {
    std::string out;
    for (const ImportStmt& statement : imports) {
        std::visit(
            Visitor{[&](const Import& import) {
                        out.append("Import: {\n");
                        dump_alias(import.names, 2, out);
                    },
                    [&](const ImportFrom& import) {
                        out.append("ImportFrom: {\n");
                        if (import.level) {
                            logging_bridge::append_all(out, "  level: ", *import.level, "\n");
                        }
                        if (import.module) {
                            logging_bridge::append_all(out, "  module: ", *import.module, "\n");
                        }
                        dump_alias(import.names, 2, out);
                    }},
            statement);
        out.append("}\n");
    }
    return out;
}

void write_all(int fd, std::string_view bytes, std::string_view stream_name) {
    const std::optional<system::WriteFailure> failure = system::write_all(fd, bytes);
    if (!failure) return;
    if (failure->error_number == 0) fail("failed printing to ", stream_name, ": write returned 0");
    fail("failed printing to ", stream_name, ": ", system::describe_error(failure->error_number));
}

void dump_imports(const std::vector<ImportStmt>& imports) {
    const std::string text = format_imports(imports);
    write_all(STDOUT_FILENO, text, "stdout");
}

}  // namespace modweave::minimal_parser
