// Python values made from native ones, and native values read from Python arguments.
//
// Making a result object can only fail when the interpreter is out of memory; that is a failure of
// the operation in progress, raised as PanicException like any other internal failure, so that
// no partial result ever reaches the caller.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "host/errors.hpp"

namespace modweave::host {

// Turns a null result of an object-making call into an internal failure naming the cause.
Object require_value(PyObject* new_reference);
// Same for the -1 status of a call that fills a new container.
void require_value_status(int status);

Object make_str(std::string_view text);
Object make_int(std::uint64_t value);
Object make_int(std::int64_t value);
Object make_list();
Object make_dict();
Object make_set();
void list_append(Handle list, const Object& item);
void dict_set(Handle dict, const Object& key, const Object& value);
void set_add(Handle set, const Object& item);

// Argument conversions. `name` is the parameter's name, used in the TypeError
// "argument '<name>': '<type>' object cannot be converted to '<expected>'". A `str` without a UTF-8
// form raises the interpreter's UnicodeEncodeError unchanged.
// The view stays valid while the argument object lives (it is the string's own UTF-8 buffer).
std::string_view text_argument(Handle value, std::string_view name);
std::optional<std::string_view> optional_text_argument(Handle value, std::string_view name);
// Omitted or None give false; otherwise only True or False are accepted.
bool optional_flag_argument(Handle value, std::string_view name);

}  // namespace modweave::host
