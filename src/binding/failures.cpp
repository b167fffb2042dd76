#include "binding/failures.hpp"

#include "binding/module_state.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace kestrune::binding {

namespace {

constexpr const char* panic_doc =
    "\nThe exception raised when native code called from Python fails.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python\n"
    "interpreter to exit.\n";

// The source file relative to the project, for a short diagnostic.
std::string_view project_file(const char* file) {
    std::string_view name(file);
    if (const auto src = name.rfind("src/"); src != std::string_view::npos) name.remove_prefix(src);
    return name;
}

PyObject* os_exception_for(int code) {
    switch (code) {
        case EPERM:
        case EACCES: return PyExc_PermissionError;
        case ENOENT: return PyExc_FileNotFoundError;
        case EINTR: return PyExc_InterruptedError;
        case EEXIST: return PyExc_FileExistsError;
        case EPIPE: return PyExc_BrokenPipeError;
        case EAGAIN: return PyExc_BlockingIOError;
        case ECONNABORTED: return PyExc_ConnectionAbortedError;
        case ECONNRESET: return PyExc_ConnectionResetError;
        case ETIMEDOUT: return PyExc_TimeoutError;
        case ECONNREFUSED: return PyExc_ConnectionRefusedError;
        default: return PyExc_OSError;
    }
}

// strerror_r comes in a GNU form returning the text and an XSI form filling `buffer`.
[[maybe_unused]] const char* error_text(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* error_text(const char* result, const char*) { return result; }

std::string describe(int code) {
    char buffer[256] = {};
#if defined(_WIN32)
    return error_text(strerror_s(buffer, sizeof buffer, code), buffer);
#else
    return error_text(strerror_r(code, buffer, sizeof buffer), buffer);
#endif
}

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

PyObject* make_panic_type() {
    return PyErr_NewExceptionWithDoc("kestrune_runtime.PanicException", panic_doc, PyExc_BaseException,
                                     nullptr);
}

void raise_panic(const reader::InternalFailure& failure) noexcept {
    std::fprintf(stderr, "kestrune: internal failure at %.*s:%u: %s\n",
                 static_cast<int>(project_file(failure.where.file_name()).size()),
                 project_file(failure.where.file_name()).data(),
                 static_cast<unsigned>(failure.where.line()), failure.message.c_str());
    // Made here when the import itself fails before the module state is made.
    PyObject*& type = module_state().panic_type;
    if (!type) type = make_panic_type();
    PyRef message(PyUnicode_DecodeUTF8(failure.message.data(),
                                       static_cast<Py_ssize_t>(failure.message.size()), "replace"));
    if (!type || !message) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
    PyErr_SetObject(type, message.get());
}

void raise_os_error(const io::OsError& error) {
    if (error.code == 0) {
        PyErr_SetString(PyExc_OSError, error.fixed_message.c_str());
        return;
    }
    const std::string text = describe(error.code) + " (os error " + std::to_string(error.code) + ")";
    PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(os_exception_for(error.code), message.get());
}

PyObject* raise_unless_set() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, failure_text::no_exception_set);
    return nullptr;
}

void fail_printing_python_error(const char* message, std::source_location where) {
    PyErr_Print();
    throw reader::internal_failure(message, where);
}

void fail_with_python_error(std::string prefix, std::source_location where) {
    if (PyRef exception = fetch_exception()) prefix += ": " + exception_text(exception.get());
    throw reader::internal_failure(std::move(prefix), where);
}

}  // namespace kestrune::binding
