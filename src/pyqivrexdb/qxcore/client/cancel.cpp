// Which call runs on each connection, so that a cancel reaches only the call
// it was aimed at (see cancel.h).
//
// Each connection handle claims a slot of a fixed table at its first call
// and keeps it for the process's life: a call then registers with one
// atomic exchange, with no lock and no allocation. Handles beyond the
// table's room (a table full for good) go through a locked list instead.
#include "cancel.h"

#include "loader.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace qx {

namespace {

// A slot's state in one word, so a cancel can check the call it is aimed at
// and count itself in one step: the innermost call in flight (its ticket, 0
// for none) in the low half, the cancels going out in the high half.
constexpr uint64_t kOneCancel = uint64_t{1} << 32;
uint32_t current_of(uint64_t state) { return static_cast<uint32_t>(state); }
uint32_t cancelling_of(uint64_t state) { return static_cast<uint32_t>(state >> 32); }

struct Slot {
    std::atomic<int> hdb{0};  // 0 while free; never changes once claimed
    std::atomic<uint64_t> state{0};
};

constexpr size_t kSlots = 256;
Slot g_slots[kSlots];

// The slot of `hdb`, claimed when `claim` and a free one is left; null when
// it has none.
Slot* slot_of(int hdb, bool claim) {
    const size_t start = static_cast<uint32_t>(hdb) % kSlots;
    for (size_t k = 0; k < kSlots; ++k) {
        Slot& s = g_slots[(start + k) % kSlots];
        int seen = s.hdb.load(std::memory_order_acquire);
        if (seen == hdb) return &s;
        if (seen != 0) continue;
        if (!claim) return nullptr;  // a handle is claimed at the first free slot of its probe
        if (s.hdb.compare_exchange_strong(seen, hdb, std::memory_order_acq_rel) || seen == hdb) return &s;
    }
    return nullptr;
}

struct Flight {
    int hdb;
    uint32_t current;  // the innermost call in flight
    int calls;         // calls in flight, nested ones included
    int cancelling;    // cancels aimed at a call of this connection going out
};

// Handles without a slot. Also where a call's end waits for a cancel
// aimed at it to go out (rare: no lock is taken otherwise).
struct Flights {
    std::mutex mutex;
    std::condition_variable cancelled;  // some `cancelling` went down
    std::vector<Flight> list;

    Flight* find(int hdb) {
        for (Flight& f : list)
            if (f.hdb == hdb) return &f;
        return nullptr;
    }
};

Flights& flights() {
    static Flights* f = new Flights;  // used until exit, also by the watcher thread
    return *f;
}

std::atomic<uint32_t> g_tickets{0};

// Wakes the calls' ends waiting for a cancel to go out. The count went down
// before the lock is taken, and a waiter reads it under the lock: no wake-up
// is lost.
void cancel_sent() {
    Flights& fs = flights();
    { std::lock_guard<std::mutex> guard(fs.mutex); }
    fs.cancelled.notify_all();
}

// Sends the cancel for the call that `aimed` picks, with the list free
// meanwhile (on a server a cancel is a round trip); the call's end waits.
template <class Aimed>
int cancel_if(int hdb, Aimed aimed) {
    if (Slot* s = slot_of(hdb, false)) {
        uint64_t state = s->state.load();
        do {
            if (!aimed(current_of(state))) return 0;
        } while (!s->state.compare_exchange_weak(state, state + kOneCancel));
        const int rc = qc.qcSqlCancel(hdb);
        s->state.fetch_sub(kOneCancel);
        cancel_sent();
        return rc;
    }
    Flights& fs = flights();
    {
        std::lock_guard<std::mutex> guard(fs.mutex);
        Flight* f = fs.find(hdb);
        if (!f || !aimed(f->current)) return 0;
        ++f->cancelling;
    }
    const int rc = qc.qcSqlCancel(hdb);
    {
        std::lock_guard<std::mutex> guard(fs.mutex);
        --fs.find(hdb)->cancelling;  // kept in the list while cancelling
    }
    fs.cancelled.notify_all();
    return rc;
}

}  // namespace

InFlight::InFlight(int hdb) : hdb_(hdb) {
    if (!hdb) return;
    do ticket_ = g_tickets.fetch_add(1, std::memory_order_relaxed) + 1;
    while (ticket_ == 0);
    if (Slot* s = slot_of(hdb, true)) {
        uint64_t state = s->state.load();
        while (!s->state.compare_exchange_weak(state, (state & ~uint64_t{0xffffffff}) | ticket_)) {
        }
        outer_ = current_of(state);
        return;
    }
    Flights& fs = flights();
    std::lock_guard<std::mutex> guard(fs.mutex);
    Flight* f = fs.find(hdb);
    if (!f) {
        fs.list.push_back(Flight{hdb, 0, 0, 0});
        f = &fs.list.back();
    }
    outer_ = f->current;
    f->current = ticket_;
    ++f->calls;
}

InFlight::~InFlight() {
    if (!hdb_) return;
    Flights& fs = flights();
    // Found again rather than kept: a claimed slot never moves.
    if (Slot* s = slot_of(hdb_, false)) {
        uint64_t state = s->state.load();
        while (!s->state.compare_exchange_weak(state, (state & ~uint64_t{0xffffffff}) | outer_)) {
        }
        if (cancelling_of(state) == 0) return;
        std::unique_lock<std::mutex> guard(fs.mutex);
        fs.cancelled.wait(guard, [&] { return cancelling_of(s->state.load()) == 0; });
        return;
    }
    std::unique_lock<std::mutex> guard(fs.mutex);
    Flight* f = fs.find(hdb_);
    f->current = outer_;
    fs.cancelled.wait(guard, [&] { return fs.find(hdb_)->cancelling == 0; });
    f = fs.find(hdb_);
    if (--f->calls == 0) {
        *f = fs.list.back();
        fs.list.pop_back();
    }
}

int cancel_running(int hdb) {
    return cancel_if(hdb, [](uint32_t current) { return current != 0; });
}

int cancel_call(int hdb, uint32_t ticket) {
    return cancel_if(hdb, [ticket](uint32_t current) { return current == ticket; });
}

}  // namespace qx
