#include "binding/file_call.hpp"

namespace kestrune::binding {

namespace {

// Often enough for a KeyboardInterrupt to leave a long scan at once; rarely enough
// that taking the lock back, which may wait for another thread's switch interval,
// costs a scan nothing measurable.
constexpr std::chrono::milliseconds signal_check_interval{50};

}  // namespace

ReleasedLock::ReleasedLock()
    : saved_(PyEval_SaveThread()), next_check_(std::chrono::steady_clock::now() + signal_check_interval) {}

ReleasedLock::~ReleasedLock() { PyEval_RestoreThread(saved_); }

void ReleasedLock::check_signals() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_check_) return;
    next_check_ = now + signal_check_interval;
    PyEval_RestoreThread(saved_);
    const bool raised = PyErr_CheckSignals() != 0;
    saved_ = PyEval_SaveThread();
    // The exception stays set in this thread's state until the lock is taken back.
    if (raised) throw PythonErrorRaised{};
}

const reader::ReaderRecord& FileCall::record() const {
    if (!record_) throw reader::internal_failure("the record was used after its borrow ended");
    return *record_;
}

}  // namespace kestrune::binding
