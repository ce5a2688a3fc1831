// Client calls made while other Python threads run.
//
// A call that can wait (log-on, a statement, a result read, a bulk send, a
// transaction, the disconnect) is made without the interpreter lock, under a
// lock of the module instead: one for the whole process when the library did
// not declare that connections may work at once (the vendor's never sees two
// calls at the same time), otherwise one per connection handle, so calls on
// one connection stay one at a time. Calls that answer at once keep the
// interpreter lock and take the same lock without waiting when it is free.
//
// Rules that keep this free of deadlocks: the interpreter lock is always let
// go before waiting for one of these locks, and a thread never waits for a
// lock it holds already, or one lent to it while it delivers a message for
// the call that holds it (a receiver may call the driver again).
#pragma once

#include "../base/ref.h"
#include "cancel.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace qx {

class CallLock {
public:
    // Whether this thread may call under the lock without taking it.
    bool held_here() const;
    bool held() const { return owner_.load(std::memory_order_relaxed) != nullptr; }
    bool try_take();
    void take();
    void give();

private:
    friend CallLock* hold_call_lock(int);
    friend void drop_call_lock(CallLock*);
    std::mutex mutex_;
    std::atomic<const void*> owner_{nullptr};
    int hdb_ = 0;
    int refs_ = 0;  // guarded by the registry's mutex
};

// Reads qcSqlConcurrency once the library is loaded.
void read_concurrency();

// The lock for calls on connection `hdb`, held (a reference) until
// drop_call_lock(). For hdb 0, calls that name no connection: the process
// lock, or null when the library runs such calls at any time.
CallLock* hold_call_lock(int hdb);
void drop_call_lock(CallLock* lock);

// hold_call_lock() for the length of a scope.
class HeldLock {
public:
    explicit HeldLock(int hdb) : lock_(hold_call_lock(hdb)) {}
    ~HeldLock() { drop_call_lock(lock_); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    CallLock* get() const { return lock_; }

private:
    CallLock* lock_;
};

// Where a call on the main thread tells the SIGINT watcher which call to
// cancel (interrupt.cpp): call `ticket` on connection `hdb` (see cancel.h).
// watch_begin() answers the call it interrupts (a receiver's call inside
// another), for watch_end() to put back; watch_end() is true when SIGINT
// arrived during the call.
bool on_main_thread();
uint64_t watch_begin(int hdb, uint32_t ticket);
bool watch_end(uint64_t outer);

// Set when SIGINT stopped a failed call on this thread: the call site's
// exception is then followed by the signal's own (KeyboardInterrupt), with
// the call site's as its context.
extern thread_local bool t_signal_stopped_call;

// Around the raising of a call site's exception: when SIGINT stopped the
// call, Python's handler runs first (so it cannot interrupt the exception's
// own construction, which may run Python code), and what it raised is
// raised at the end of the scope, with the call site's exception as its
// context.
class SignalFirst {
public:
    SignalFirst();
    ~SignalFirst();
    SignalFirst(const SignalFirst&) = delete;
    SignalFirst& operator=(const SignalFirst&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* signal_ = nullptr;
    PyObject* tb_ = nullptr;
};

// A call that can wait, on connection `hdb`: `call` runs without the
// interpreter lock, so it must not touch Python objects, nor fields that
// other threads may change (handles are copied into locals first).
template <class F>
int waiting_call(CallLock* lock, int hdb, F&& call) {
    const bool main = on_main_thread();
    PyThreadState* saved = PyEval_SaveThread();
    const bool take = lock && !lock->held_here();
    if (take) lock->take();
    int rc;
    {
        const InFlight flight(hdb);
        const uint64_t outer = main ? watch_begin(hdb, flight.ticket()) : 0;
        rc = call();
        if (main) t_signal_stopped_call = watch_end(outer) && rc != 0;
    }
    if (take) lock->give();
    PyEval_RestoreThread(saved);
    return rc;
}

// A call that answers at once (and never calls back from another thread):
// made with the interpreter lock, which is let go only to wait for `lock`.
template <class F>
int quick_call(CallLock* lock, F&& call) {
    const bool take = lock && !lock->held_here();
    if (take && !lock->try_take()) {
        PyThreadState* saved = PyEval_SaveThread();
        lock->take();
        PyEval_RestoreThread(saved);
    }
    const int rc = call();
    if (take) lock->give();
    return rc;
}

// While a message for `hdb` is delivered on this thread, calls on this
// thread may use the lock that the interrupted call holds, when the library
// declared that it calls back from its own thread only while that call
// waits for the receiver (QSCLI_CONCURRENT_CALLBACKS_WAITED): the
// interrupted call lends its lock to the receiver for the receiver's life.
class LendCallLock {
public:
    explicit LendCallLock(int hdb);
    ~LendCallLock();
    LendCallLock(const LendCallLock&) = delete;
    LendCallLock& operator=(const LendCallLock&) = delete;

private:
    CallLock* lock_ = nullptr;
    bool lent_ = false;
};

}  // namespace qx
