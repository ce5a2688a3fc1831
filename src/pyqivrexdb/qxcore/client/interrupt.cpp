// Ctrl-C during a client call on the main thread. Python's own SIGINT handler
// only notes the signal, which it handles once the call returns, and a call
// can last minutes. So the handler found in place is chained: ours does only
// what a signal handler may (it notes which call runs and wakes a watcher
// thread) and then runs it; the watcher asks the library to cancel that call
// (qcSqlCancel), which then fails with QSCLI_E_INTERRUPTED, and the signal is
// raised after the call site's error. A watcher that wakes after that call
// has returned cancels nothing (cancel.h).
//
// The handler in place need not be Python's: other libraries chain their own
// in front of ours (some when imported), and one that saved ours and chains
// to it would call ours back. So a handler of another library is run once,
// never re-entered, and Python is told of the signal directly, since that
// handler may keep it to itself; Ctrl-C then stays a KeyboardInterrupt.
#include "calls.h"
#include "cancel.h"
#include "loader.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <time.h>
#endif

namespace qx {

namespace {

unsigned long main_ident() {
    static unsigned long ident = [] {
        unsigned long found = 0;
        Ref threading(PyImport_ImportModule("threading"));
        Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
        Ref id(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
        if (id) found = PyLong_AsUnsignedLong(id.get());
        if (PyErr_Occurred()) {
            PyErr_Clear();
            found = 0;
        }
        return found;
    }();
    return ident;
}

}  // namespace

bool on_main_thread() { return PyThread_get_thread_ident() == main_ident(); }

SignalFirst::SignalFirst() {
    if (!t_signal_stopped_call) return;
    t_signal_stopped_call = false;
    if (PyErr_CheckSignals() == 0) return;
    PyErr_Fetch(&type_, &signal_, &tb_);
    PyErr_NormalizeException(&type_, &signal_, &tb_);
}

SignalFirst::~SignalFirst() {
    if (!signal_) {
        Py_XDECREF(type_);
        Py_XDECREF(tb_);
        return;
    }
    // The call site's error, set meanwhile, becomes the signal's context.
    PyObject *type, *error, *tb;
    PyErr_Fetch(&type, &error, &tb);
    PyErr_NormalizeException(&type, &error, &tb);
    if (tb && error) PyException_SetTraceback(error, tb);
    if (error) PyException_SetContext(signal_, error);  // takes the reference
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_Restore(type_, signal_, tb_);
}

#ifdef _WIN32

uint64_t watch_begin(int, uint32_t) { return 0; }
bool watch_end(uint64_t) { return false; }

#else

namespace {

// A call as the handler sees it: its connection in the high half, its
// ticket in the low one; 0 for none.
uint64_t pack(int hdb, uint32_t ticket) { return static_cast<uint64_t>(static_cast<uint32_t>(hdb)) << 32 | ticket; }
std::atomic<uint64_t> g_call{0};    // the main thread's running call
std::atomic<uint64_t> g_aimed{0};   // the call SIGINT arrived during, for the watcher
std::atomic<bool> g_hit{false};     // SIGINT arrived during the running call
sem_t g_wake;
struct sigaction g_previous;      // the handler ours runs after its own work
bool g_previous_is_python = false;  // g_previous is the interpreter's own handler
std::atomic<bool> g_chaining{false};  // ours runs g_previous: a call back to ours returns
bool g_watching = false;          // the watcher thread runs (main thread only)
long long g_checked_ms = -1;      // when the handler in place was last looked at

void on_sigint(int sig, siginfo_t* info, void* context) {
    const int saved = errno;
    if (const uint64_t call = g_call.load()) {
        g_aimed.store(call);
        g_hit.store(true);
        sem_post(&g_wake);
    }
    if (g_chaining.exchange(true)) {
        errno = saved;
        return;
    }
    // Async-signal-safe; the same as the interpreter's handler does.
    if (!g_previous_is_python) PyErr_SetInterruptEx(SIGINT);
    errno = saved;
    if (g_previous.sa_flags & SA_SIGINFO)
        g_previous.sa_sigaction(sig, info, context);
    else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN)
        g_previous.sa_handler(sig);
    g_chaining.store(false);
}

// Whether a handler is the interpreter's: it lives in the object that holds
// the interpreter's functions (its shared library, or the executable).
bool from_python(const struct sigaction& action) {
    const void* handler = (action.sa_flags & SA_SIGINFO) ? reinterpret_cast<void*>(action.sa_sigaction)
                                                          : reinterpret_cast<void*>(action.sa_handler);
    Dl_info ours, theirs;
    return dladdr(reinterpret_cast<void*>(&PyErr_SetInterruptEx), &ours) != 0 &&
           dladdr(handler, &theirs) != 0 && ours.dli_fbase == theirs.dli_fbase;
}

void* watcher(void*) {
    for (;;) {
        if (sem_wait(&g_wake) != 0) continue;
        if (const uint64_t call = g_aimed.exchange(0))
            cancel_call(static_cast<int>(call >> 32), static_cast<uint32_t>(call));
    }
    return nullptr;
}

void after_fork_in_child() {
    g_watching = false;
    g_checked_ms = -1;
}

bool start_watcher() {
    static bool registered = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
    if (!registered || sem_init(&g_wake, 0, 0) != 0) return false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // The thread blocks every signal: they stay with the threads that handle them.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attr, watcher, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    return started;
}

// Puts our handler in front of the one in place when that is a handler
// (Python's, normally) and not ours already. signal.signal() replaces it, so
// the handler in place is looked at again, but at most every 100 ms: the
// look costs a system call, more than a short call itself.
void arm() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const long long ms = now.tv_sec * 1000LL + now.tv_nsec / 1000000;
    if (g_checked_ms >= 0 && ms - g_checked_ms < 100) return;
    g_checked_ms = ms;
    struct sigaction current;
    if (sigaction(SIGINT, nullptr, &current) != 0) return;
    if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_sigint) return;
    if (!(current.sa_flags & SA_SIGINFO) &&
        (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN))
        return;
    if (!g_watching && !(g_watching = start_watcher())) return;
    g_previous_is_python = from_python(current);
    g_previous = current;
    struct sigaction ours = current;
    ours.sa_flags |= SA_SIGINFO;
    ours.sa_sigaction = on_sigint;
    sigaction(SIGINT, &ours, nullptr);
}

}  // namespace

uint64_t watch_begin(int hdb, uint32_t ticket) {
    arm();
    g_hit.store(false);
    return g_call.exchange(hdb ? pack(hdb, ticket) : 0);
}

bool watch_end(uint64_t outer) {
    g_call.store(outer);
    return g_hit.exchange(false);
}

#endif

}  // namespace qx
