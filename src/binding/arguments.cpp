#include "binding/arguments.hpp"

#include <utility>
#include <vector>

namespace kestrune::binding {

namespace {

struct Keyword {
    PyObject* name;
    PyObject* value;
};

void raise_type_error(const Parameter& parameter, const char* format, auto... values) {
    PyRef message(PyUnicode_FromFormat(format, parameter.entry, values...));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

// Places positional and keyword arguments into the one parameter, with the
// interpreter's own wording for each way of getting it wrong.
PyObject* place_argument(const Parameter& parameter, Py_ssize_t nargs, PyObject* const* positional,
                         const std::vector<Keyword>& keywords) {
    if (nargs > 1) {
        raise_type_error(parameter, "RawFileReader.%s() takes 1 positional arguments but %zd were given",
                         nargs);
        return nullptr;
    }
    PyObject* value = nargs == 1 ? positional[0] : nullptr;
    for (const Keyword& keyword : keywords) {
        if (PyUnicode_Check(keyword.name) &&
            PyUnicode_CompareWithASCIIString(keyword.name, parameter.name) == 0) {
            if (value) {
                raise_type_error(parameter, "RawFileReader.%s() got multiple values for argument '%s'",
                                 parameter.name);
                return nullptr;
            }
            value = keyword.value;
            continue;
        }
        raise_type_error(parameter, "RawFileReader.%s() got an unexpected keyword argument '%S'",
                         keyword.name);
        return nullptr;
    }
    if (!value) {
        raise_type_error(parameter,
                         "RawFileReader.%s() missing 1 required positional argument: '%s'",
                         parameter.name);
    }
    return value;
}

// The argument-name rule: a conversion error of exactly TypeError is replaced by
// "argument '<name>': <message>" carrying the original's cause; others pass as they are.
void name_the_argument(const Parameter& parameter) {
    PyRef error = fetch_exception();
    if (!error || Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        if (error) restore_exception(std::move(error));
        return;
    }
    PyRef text(PyObject_Str(error.get()));
    if (!text) return;
    PyRef message(PyUnicode_FromFormat("argument '%s': %U", parameter.name, text.get()));
    if (!message) return;
    PyRef renamed(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!renamed) return;
    PyException_SetCause(renamed.get(), PyException_GetCause(error.get()));
    restore_exception(std::move(renamed));
}

}  // namespace

PyObject* parse_argument(const Parameter& parameter, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    nargs = PyVectorcall_NARGS(nargs);
    std::vector<Keyword> keywords;
    if (kwnames) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            keywords.push_back({PyTuple_GET_ITEM(kwnames, i), args[nargs + i]});
        }
    }
    return place_argument(parameter, nargs, args, keywords);
}

PyObject* parse_argument(const Parameter& parameter, PyObject* args, PyObject* kwargs) {
    std::vector<Keyword> keywords;
    if (kwargs) {
        Py_ssize_t position = 0;
        PyObject *name, *value;
        while (PyDict_Next(kwargs, &position, &name, &value)) keywords.push_back({name, value});
    }
    return place_argument(parameter, PyTuple_GET_SIZE(args), PySequence_Fast_ITEMS(args), keywords);
}

std::optional<std::uint32_t> to_u32(PyObject* argument, const Parameter& parameter) {
    const long value = PyLong_AsLong(argument);
    if (value == -1 && PyErr_Occurred()) {
        name_the_argument(parameter);
        return std::nullopt;
    }
    if (value < 0 || static_cast<unsigned long>(value) > 0xFFFF'FFFFul) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::string> to_path_text(PyObject* argument, const Parameter& parameter) {
    if (!PyUnicode_Check(argument)) {
        raise_cannot_convert(argument, "PyString");
        name_the_argument(parameter);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(argument, &size);
    if (!text) {
        name_the_argument(parameter);
        return std::nullopt;
    }
    return std::string(text, static_cast<std::size_t>(size));
}

void raise_cannot_convert(PyObject* object, const char* target) {
    PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (!qualname) return;
    PyRef message(PyUnicode_FromFormat("'%S' object cannot be converted to '%s'", qualname.get(), target));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

}  // namespace kestrune::binding
