// The entry wrappers between the class's table and the bodies of methods.hpp: each
// takes the arguments from the interpreter, borrows the record and runs the body
// inside run_entry. The borrow lasts for the call, or, for a body that reads the
// file, until its FileCall gives up the interpreter lock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "binding/file_call.hpp"
#include "binding/methods.hpp"
#include "binding/reader_object.hpp"

namespace kestrune::binding {

// A string literal as a template argument: the method's and its parameter's names.
template <std::size_t N>
struct Name {
    char text[N];
    constexpr Name(const char (&literal)[N]) { std::copy_n(literal, N, text); }
};

// A body that takes the record non-const changes it, and borrows it exclusively.
template <auto Body, class... Argument>
constexpr bool changes_record = std::is_invocable_v<decltype(Body), ReaderRecord&, Argument...> &&
                                !std::is_invocable_v<decltype(Body), const ReaderRecord&, Argument...>;

// Runs the body on the borrowed record; a body that reads the file gets the record
// through a FileCall, which ends the borrow before the file is read.
template <auto Body, class... Argument>
PyObject* run_body(Borrow& borrow, ReaderObject* reader, Argument... argument) {
    if constexpr (std::is_invocable_v<decltype(Body), FileCall&, Argument...>) {
        FileCall call(borrow, reader->record);
        return Body(call, argument...).release();
    } else if constexpr (changes_record<Body, Argument...>) {
        return Body(reader->record, argument...).release();
    } else {
        return Body(std::as_const(reader->record), argument...).release();
    }
}

template <auto Body, Name method, Name parameter_name>
PyObject* one_argument_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static constexpr Parameter parameter{method.text, parameter_name.text};
    return run_entry([&]() -> PyObject* {
        PyObject* argument = parse_argument(parameter, args, nargs, kwnames);
        if (!argument) return nullptr;
        // The record is borrowed before the conversion, so a conflicting borrow is
        // reported first.
        ReaderObject* reader = as_reader(self);
        if (!reader) return nullptr;
        Borrow borrow(reader, Borrow::Kind::shared);
        if (!borrow.ok()) return nullptr;
        const auto value = to_u32(argument, parameter);
        if (!value) return nullptr;
        return run_body<Body>(borrow, reader, *value);
    });
}

template <auto Body>
PyObject* no_argument_entry(PyObject* self, PyObject*) {
    return run_entry([&]() -> PyObject* {
        ReaderObject* reader = as_reader(self);
        if (!reader) return nullptr;
        Borrow borrow(reader, changes_record<Body> ? Borrow::Kind::exclusive : Borrow::Kind::shared);
        if (!borrow.ok()) return nullptr;
        return run_body<Body>(borrow, reader);
    });
}

template <auto Body>
PyObject* getter_entry(PyObject* self, void*) {
    return no_argument_entry<Body>(self, nullptr);
}

}  // namespace kestrune::binding
