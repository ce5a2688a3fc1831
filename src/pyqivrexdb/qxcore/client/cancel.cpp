// Which call runs on each connection, so that a cancel reaches only the call
// it was aimed at (see cancel.h).
#include "cancel.h"

#include "loader.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace qx {

namespace {

struct Flight {
    int hdb;
    uint32_t current;  // the innermost call in flight
    int calls;         // calls in flight, nested ones included
    int cancelling;    // cancels aimed at a call of this connection going out
};

// Few connections have calls in flight at once: a short list, searched
// whole, costs no allocation per call.
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

// Sends the cancel for the call that `aimed` picks, with the list free
// meanwhile (on a server a cancel is a round trip); the call's end waits.
template <class Aimed>
int cancel_if(int hdb, Aimed aimed) {
    Flights& fs = flights();
    {
        std::lock_guard<std::mutex> guard(fs.mutex);
        Flight* f = fs.find(hdb);
        if (!f || !aimed(*f)) return 0;
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
    return cancel_if(hdb, [](const Flight& f) { return f.current != 0; });
}

int cancel_call(int hdb, uint32_t ticket) {
    return cancel_if(hdb, [ticket](const Flight& f) { return f.current == ticket; });
}

}  // namespace qx
