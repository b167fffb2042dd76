#include "binding/reader_object.hpp"

#include <limits>

#include "binding/module_state.hpp"
#include "reader/header.hpp"

namespace kestrune::binding {

namespace {

constexpr std::uint64_t exclusively_borrowed = std::numeric_limits<std::uint64_t>::max();
constexpr Parameter constructor_parameter{"__new__", "path"};

}  // namespace

Borrow::Borrow(ReaderObject* reader, Kind kind) : kind_(kind) {
    std::atomic<std::uint64_t>& counter = reader->borrow;
    if (kind == Kind::exclusive) {
        std::uint64_t expected = 0;
        if (!counter.compare_exchange_strong(expected, exclusively_borrowed)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
    } else {
        std::uint64_t current = counter.load();
        do {
            if (current == exclusively_borrowed) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return;
            }
        } while (!counter.compare_exchange_weak(current, current + 1));
    }
    reader_ = reader;
    Py_INCREF(reinterpret_cast<PyObject*>(reader));
}

Borrow::~Borrow() {
    if (!reader_) return;
    if (kind_ == Kind::exclusive) {
        reader_->borrow.store(0);
    } else {
        reader_->borrow.fetch_sub(1);
    }
    Py_DECREF(reinterpret_cast<PyObject*>(reader_));
}

ReaderObject* as_reader(PyObject* self) {
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(module_state().reader_type))) {
        raise_cannot_convert(self, "RawFileReader");
        return nullptr;
    }
    return reinterpret_cast<ReaderObject*>(self);
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return run_entry([&]() -> PyObject* {
        PyObject* argument = parse_argument(constructor_parameter, args, kwargs);
        if (!argument) return nullptr;
        auto path = to_path_text(argument, constructor_parameter);
        if (!path) return nullptr;

        reader::ReaderRecord opened = reader::open_record(std::move(*path));

        const allocfunc allocate = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
        PyObject* object = allocate(type, 0);
        if (!object) return raise_unless_set();
        auto* reader = reinterpret_cast<ReaderObject*>(object);
        new (&reader->record) reader::ReaderRecord(std::move(opened));
        new (&reader->borrow) std::atomic<std::uint64_t>(0);
        return object;
    });
}

void reader_dealloc(PyObject* self) {
    auto* reader = reinterpret_cast<ReaderObject*>(self);
    reader->record.~ReaderRecord();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));  // the instance's reference to its heap type
}

}  // namespace kestrune::binding
