#include "binding/reader_object.hpp"

#include <mutex>
#include <optional>
#include <string>
#include <utility>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "binding/file_call.hpp"
#include "binding/module_state.hpp"
#include "reader/header.hpp"

namespace kestrune::binding {

namespace {

constexpr unsigned state_bits = 48;
constexpr std::uint64_t state_mask = (std::uint64_t{1} << state_bits) - 1;
constexpr std::uint64_t exclusively_borrowed = state_mask;
constexpr Parameter constructor_parameter{"__new__", "path"};

// Counts the forks from the process that imported the module to this one.
std::atomic<std::uint16_t> fork_generation{0};

std::uint64_t generation_bits() {
    return std::uint64_t{fork_generation.load(std::memory_order_relaxed)} << state_bits;
}

// The borrow state a word holds for the current generation: a word of an earlier
// one was borrowed by a thread of a parent process, so it is free here.
std::uint64_t state_of(std::uint64_t word, std::uint64_t generation) {
    return (word & ~state_mask) == generation ? word & state_mask : 0;
}

}  // namespace

void forget_borrows_in_fork_children() {
#if defined(_WIN32)
    // Windows starts every process afresh: no child inherits a borrow.
#else
    static std::once_flag registered;
    std::call_once(registered, [] {
        ::pthread_atfork(nullptr, nullptr, [] { fork_generation.fetch_add(1, std::memory_order_relaxed); });
    });
#endif
}

Borrow::Borrow(ReaderObject* reader, Kind kind) : kind_(kind), generation_(generation_bits()) {
    std::atomic<std::uint64_t>& counter = reader->borrow;
    std::uint64_t word = counter.load();
    std::uint64_t next = 0;
    do {
        const std::uint64_t state = state_of(word, generation_);
        if (kind == Kind::exclusive && state != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
        if (kind == Kind::shared && state == exclusively_borrowed) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return;
        }
        next = generation_ | (kind == Kind::exclusive ? exclusively_borrowed : state + 1);
    } while (!counter.compare_exchange_weak(word, next));
    reader_ = reader;
    Py_INCREF(reinterpret_cast<PyObject*>(reader));
}

Borrow::~Borrow() { end(); }

void Borrow::end() {
    if (!reader_) return;
    std::atomic<std::uint64_t>& counter = reader_->borrow;
    std::uint64_t word = counter.load();
    // A fork since the borrow was taken has already freed it.
    while (state_of(word, generation_) != 0) {
        const std::uint64_t next = kind_ == Kind::exclusive ? generation_ : word - 1;
        if (counter.compare_exchange_weak(word, next)) break;
    }
    Py_DECREF(reinterpret_cast<PyObject*>(std::exchange(reader_, nullptr)));
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
        return new_reader(type, std::move(*path), std::nullopt);
    });
}

PyObject* new_reader(PyTypeObject* type, std::string path, std::optional<reader::FileProfile> profile) {
    // The header and the scan caches are read without the interpreter lock; no
    // Python object exists yet that another thread could reach.
    reader::ReaderRecord opened = [&] {
        const ReleasedLock released;
        return reader::open_record(std::move(path), profile);
    }();

    const allocfunc allocate = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* object = allocate(type, 0);
    if (!object) return raise_unless_set();
    auto* reader = reinterpret_cast<ReaderObject*>(object);
    new (&reader->record) reader::ReaderRecord(std::move(opened));
    new (&reader->borrow) std::atomic<std::uint64_t>(0);
    return object;
}

void reader_dealloc(PyObject* self) {
    auto* reader = reinterpret_cast<ReaderObject*>(self);
    reader->record.~ReaderRecord();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));  // the instance's reference to its heap type
}

}  // namespace kestrune::binding
