#include "binding/python_error.hpp"

#include "binding/py_ref.hpp"
#include "reader/failure.hpp"

namespace kestrune::binding {

namespace {

std::string exception_text(PyObject* exception) {
    std::string text = Py_TYPE(exception)->tp_name;
    PyRef message(PyObject_Str(exception));
    const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    if (!utf8) {
        PyErr_Clear();  // an unprintable exception is still named by its type
        return text;
    }
    if (*utf8) text += std::string(": ") + utf8;
    return text;
}

}  // namespace

void fail_with_python_error(std::string prefix, std::source_location where) {
    if (PyRef exception = fetch_exception()) prefix += ": " + exception_text(exception.get());
    throw internal_failure(std::move(prefix), where);
}

}  // namespace kestrune::binding
