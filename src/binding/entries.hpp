// The entry wrappers between the class's table and the bodies of methods.hpp: each
// takes the arguments from the interpreter, borrows the record for the call and runs
// the body inside run_entry.
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "binding/methods.hpp"
#include "binding/reader_object.hpp"

namespace kestrune::binding {

// A string literal as a template argument: the method's and its parameter's names.
template <std::size_t N>
struct Name {
    char text[N];
    constexpr Name(const char (&literal)[N]) { std::copy_n(literal, N, text); }
};

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
        return Body(std::as_const(reader->record), *value).release();
    });
}

template <auto Body>
PyObject* no_argument_entry(PyObject* self, PyObject*) {
    return run_entry([&]() -> PyObject* {
        ReaderObject* reader = as_reader(self);
        if (!reader) return nullptr;
        // Shared, unless the body changes the record.
        constexpr bool shares = std::is_invocable_v<decltype(Body), const ReaderRecord&>;
        Borrow borrow(reader, shares ? Borrow::Kind::shared : Borrow::Kind::exclusive);
        if (!borrow.ok()) return nullptr;
        if constexpr (shares) {
            return Body(std::as_const(reader->record)).release();
        } else {
            return Body(reader->record).release();
        }
    });
}

template <auto Body>
PyObject* getter_entry(PyObject* self, void*) {
    return no_argument_entry<Body>(self, nullptr);
}

}  // namespace kestrune::binding
