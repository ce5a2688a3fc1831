// Cancels aimed at one call. A waiting call is "in flight" on its connection
// from just before the library is called until it returns, and a cancel goes
// out only while the call it was aimed at is in flight; a call's end waits
// for a cancel aimed at it that is going out. So an interrupt that arrives
// late (Ctrl-C's watcher woken after the call returned, interrupt() racing
// the statement's end) is dropped, and never stops the connection's next
// statement.
#pragma once

#include <cstdint>

namespace qx {

// One waiting call on connection `hdb`, for the length of a scope (made
// without the interpreter lock). hdb 0 names no connection: nothing to aim at.
class InFlight {
public:
    explicit InFlight(int hdb);
    ~InFlight();
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
    // Names this call for cancel_call(); never 0.
    uint32_t ticket() const { return ticket_; }

private:
    int hdb_;
    uint32_t ticket_ = 0;
    uint32_t outer_ = 0;  // the call this one runs inside (a receiver's call)
};

// qcSqlCancel for the call in flight on `hdb` now; 0 without asking the
// library when none is.
int cancel_running(int hdb);
// qcSqlCancel for call `ticket` on `hdb` if it is still in flight, else 0.
int cancel_call(int hdb, uint32_t ticket);

}  // namespace qx
