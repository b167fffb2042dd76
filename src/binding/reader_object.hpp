// The RawFileReader instance: the record and its borrow counter, and the entry
// wrappers that every call from Python passes through.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <stdexcept>

#include "binding/arguments.hpp"
#include "binding/failures.hpp"
#include "reader/record.hpp"

namespace kestrune::binding {

struct ReaderObject {
    PyObject_HEAD
    reader::ReaderRecord record;
    // The process's fork generation when last borrowed (top 16 bits), then the state:
    // 0 free, 1 to max - 1 that many shared borrows, max one exclusive borrow.
    std::atomic<std::uint64_t> borrow;
};

// Makes every child process forked from here on see the borrows of its parent as
// free: the threads that held them are not in the child. Called once, at import.
void forget_borrows_in_fork_children();

// Makes the RawFileReader class (module_state.hpp keeps it).
PyObject* make_reader_type();

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
// A new reader of `type` over `path`, read as its path's File profile says or as
// `profile` says where one is given. Throws as the core does; run it in run_entry.
PyObject* new_reader(PyTypeObject* type, std::string path, std::optional<reader::FileProfile> profile);
void reader_dealloc(PyObject* self);

// A borrow of the record held for one call, with a strong reference to the object.
class Borrow {
public:
    enum class Kind { shared, exclusive };
    // On conflict sets the RuntimeError and leaves ok() false.
    Borrow(ReaderObject* reader, Kind kind);
    ~Borrow();
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    bool ok() const { return reader_ != nullptr; }
    // Gives the borrow back before the call ends (the destructor then does nothing).
    void end();

private:
    ReaderObject* reader_ = nullptr;
    Kind kind_;
    std::uint64_t generation_ = 0;  // the borrow word's generation bits
};

// Thrown where the Python exception is already set; run_entry answers null.
struct PythonErrorRaised {};

// `self` as a reader, or null with the TypeError set when it is of another type.
ReaderObject* as_reader(PyObject* self);

// Runs an entry's work: the binding's one channel for failures of the core and of
// the interpreter calls it makes. Operating-system errors become the OSError family,
// every other C++ failure PanicException.
template <class Work>
PyObject* run_entry(Work&& work) noexcept {
    try {
        return work();
    } catch (const PythonErrorRaised&) {
    } catch (const io::OsError& error) {
        raise_os_error(error);
    } catch (const reader::InternalFailure& failure) {
        raise_panic(failure);
    } catch (const std::bad_alloc&) {
        raise_panic(reader::internal_failure("memory allocation failed"));
    } catch (const std::exception& error) {
        raise_panic(reader::internal_failure(error.what()));
    } catch (...) {
        raise_panic(reader::internal_failure("unknown native failure"));
    }
    return nullptr;
}

}  // namespace kestrune::binding
