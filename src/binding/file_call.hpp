// Calls of the methods that read the file. The body copies from the record what the
// file work needs (the path, the version, the scan's offset), then runs that work
// through FileCall::off_lock: the record's borrow ends there and the interpreter lock
// is given up while the file is read and decoded. The program's other threads run
// meanwhile, and another thread's initialize_caches neither meets this call's borrow
// nor changes the work under way. The lock is taken back to build the result.
#pragma once

#include <chrono>
#include <utility>

#include "binding/reader_object.hpp"
#include "io/source_search.hpp"

namespace kestrune::binding {

// The interpreter lock given up while the object lives; taken back when it goes,
// also when an exception leaves the work.
class ReleasedLock {
public:
    ReleasedLock();
    ~ReleasedLock();
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

    // Called between chunks: takes the lock back briefly, at most once per check
    // interval, to run the pending signal handlers. Throws PythonErrorRaised when one
    // raised (KeyboardInterrupt for Ctrl-C).
    void check_signals();

private:
    PyThreadState* saved_;
    std::chrono::steady_clock::time_point next_check_;
};

class FileCall {
public:
    FileCall(Borrow& borrow, const reader::ReaderRecord& record) : borrow_(borrow), record_(&record) {}
    FileCall(const FileCall&) = delete;
    FileCall& operator=(const FileCall&) = delete;

    // The record, until off_lock.
    const reader::ReaderRecord& record() const;

    // Ends the borrow, then returns work(between_chunks) run without the interpreter
    // lock. `work` never reaches the record, only what the body copied from it;
    // `between_chunks` is the signal check for its whole-file scans.
    template <class Work>
    auto off_lock(Work&& work) {
        borrow_.end();
        record_ = nullptr;
        ReleasedLock released;
        auto check = [&released] { released.check_signals(); };
        return std::forward<Work>(work)(io::BetweenChunks(check));
    }

private:
    Borrow& borrow_;
    const reader::ReaderRecord* record_;
};

}  // namespace kestrune::binding
