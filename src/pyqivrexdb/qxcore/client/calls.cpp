// The locks that client calls are made under, one per connection handle or
// one for the process, and their lending to message receivers.
#include "calls.h"

#include "loader.h"

#include <unordered_map>
#include <vector>

namespace qx {

thread_local bool t_signal_stopped_call = false;

namespace {

// What identifies this thread as a lock's owner.
thread_local const char t_me = 0;
// Locks lent to this thread by the messages it is delivering, innermost last.
thread_local std::vector<const CallLock*> t_lent;

std::atomic<int> g_level{0};  // qcSqlConcurrency's answer

struct Registry {
    std::mutex mutex;
    std::unordered_map<int, CallLock*> locks;
};
Registry& registry() {
    static Registry* r = new Registry;  // used until exit
    return *r;
}

CallLock& process_lock() {
    static CallLock* lock = new CallLock;
    return *lock;
}

}  // namespace

bool CallLock::held_here() const {
    // A lock nobody holds is neither this thread's nor lent to it (only a
    // held lock is lent): the common case reads no thread-local state.
    const void* owner = owner_.load(std::memory_order_relaxed);
    if (!owner) return false;
    if (owner == &t_me) return true;
    for (const CallLock* lent : t_lent)
        if (lent == this) return true;
    return false;
}

bool CallLock::try_take() {
    if (!mutex_.try_lock()) return false;
    owner_.store(&t_me, std::memory_order_relaxed);
    return true;
}

void CallLock::take() {
    mutex_.lock();
    owner_.store(&t_me, std::memory_order_relaxed);
}

void CallLock::give() {
    owner_.store(nullptr, std::memory_order_relaxed);
    mutex_.unlock();
}

void read_concurrency() {
    int level = 0;
    if (qc.qcSqlConcurrency(&level) != 0 || level < 0) level = 0;
    g_level.store(level & (QSCLI_CONCURRENT_CONNECTIONS | QSCLI_CONCURRENT_CALLBACKS_WAITED));
}

CallLock* hold_call_lock(int hdb) {
    if (!(g_level.load() & QSCLI_CONCURRENT_CONNECTIONS)) return &process_lock();
    if (hdb == 0) return nullptr;
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    CallLock*& lock = r.locks[hdb];
    if (!lock) {
        lock = new CallLock;
        lock->hdb_ = hdb;
    }
    ++lock->refs_;
    return lock;
}

void drop_call_lock(CallLock* lock) {
    if (!lock || lock == &process_lock()) return;
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    if (--lock->refs_ > 0) return;
    r.locks.erase(lock->hdb_);
    delete lock;
}

LendCallLock::LendCallLock(int hdb) {
    // Only a lock that a call holds now is lent, and only when the library
    // promised that it calls back from its own thread while that call waits
    // for the receiver to return. Otherwise the delivery may run beside the
    // call, and its calls wait for the lock like any other thread's.
    if (!(g_level.load() & QSCLI_CONCURRENT_CALLBACKS_WAITED)) return;
    lock_ = hdb ? hold_call_lock(hdb) : nullptr;
    if (lock_ && lock_->held() && !lock_->held_here()) {
        t_lent.push_back(lock_);
        lent_ = true;
    }
}

LendCallLock::~LendCallLock() {
    if (lent_) t_lent.pop_back();
    drop_call_lock(lock_);
}

}  // namespace qx
