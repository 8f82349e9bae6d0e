// What the engine module's functions share: the interpreter lock released
// while the pool works, the waiting thread's looks at signals and progress,
// and results handed back as columns of numbers.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "engine/matching.hpp"
#include "python/calls.hpp"

namespace refsieve::py::engine_module {

// The interpreter lock, released for the life of this object; with_lock
// runs a step with it held again.
class LockReleased {
public:
    LockReleased() : state_(PyEval_SaveThread()) {}
    ~LockReleased() { PyEval_RestoreThread(state_); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

    template <class Step>
    void with_lock(Step&& step) {
        PyEval_RestoreThread(state_);
        step();
        state_ = PyEval_SaveThread();
    }

private:
    PyThreadState* state_;
};

// A column as (struct format, bytes), the form Python turns into a memoryview.
template <class T>
Result<PyRef> column(const char* format, const std::vector<T>& values) {
    PyRef bytes = created(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                    static_cast<Py_ssize_t>(values.size() * sizeof(T))));
    return created(Py_BuildValue("(sO)", format, bytes.get()));
}

// What the waiting thread does between looks at the pool: answer signals
// (Ctrl-C raises KeyboardInterrupt in the handler that Python installed)
// and report progress. Either failing stops the match, with the exception
// left pending until the pool has stopped.
class Waiter {
public:
    Waiter(refsieve::engine::MatchControl& control, PyObject* progress) : control_(control), progress_(progress) {}

    void look(LockReleased& lock) {
        lock.with_lock([&] {
            if (failed_) return;
            if (PyErr_CheckSignals() < 0) return stop();
            report_progress();
        });
    }
    void finish() {
        if (!failed_) report_progress();
    }
    bool failed() const noexcept { return failed_; }

private:
    void report_progress() {
        if (progress_ == nullptr || progress_ == Py_None) return;
        const std::size_t done = control_.done.load(std::memory_order_relaxed);
        if (done == reported_) return;
        PyRef count = PyRef::steal(PyLong_FromSize_t(done - reported_));
        reported_ = done;
        PyRef result = count ? PyRef::steal(PyObject_CallOneArg(progress_, count.get())) : PyRef();
        if (!result) stop();
    }
    void stop() {
        failed_ = true;
        control_.stop.store(true);
    }

    refsieve::engine::MatchControl& control_;
    PyObject* progress_;
    std::size_t reported_ = 0;
    bool failed_ = false;
};

// Runs work(control) on the pool with the interpreter lock released, the
// calling thread answering signals and reporting progress meanwhile. The
// pending exception, when a look stopped the work, is the call's error.
template <class Work, class Found = std::invoke_result_t<Work&, refsieve::engine::MatchControl&>>
Result<typename Found::value_type> while_released(PyObject* progress, Work&& work) {
    refsieve::engine::MatchControl control;
    Waiter waiter(control, progress);
    Found found;
    {
        LockReleased lock;
        control.while_waiting = [&] { waiter.look(lock); };
        found = work(control);
    }
    if (waiter.failed()) return PyErr::take();
    waiter.finish();
    if (waiter.failed()) return PyErr::take();
    if (!found) fail("the work stopped without a reason");
    return std::move(*found);
}

}  // namespace refsieve::py::engine_module
