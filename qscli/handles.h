// The handle registry: connection and statement numbers the caller holds.
#pragma once

#include "conn.h"

#include <atomic>

namespace qse {

// The statements of the first handles, found by their number with one load:
// no lock, no thread-local. Set and cleared under the registry's lock.
constexpr int DIRECT_STMTS = 1 << 14;
extern std::atomic<Stmt*> g_direct_stmts[DIRECT_STMTS];
inline bool direct_stmt(int h) { return h > 0 && h < DIRECT_STMTS; }
Stmt* find_later_stmt(int h);

// Handle registry; unknown or released handles give null.
Conn* find_conn(int h);
inline Stmt* find_stmt(int h) {
    return direct_stmt(h) ? g_direct_stmts[h].load(std::memory_order_acquire) : find_later_stmt(h);
}
int new_conn();
int new_stmt(Conn* c);
void drop_conn(int h);
void drop_stmt(int h);
// qcSqlCancel: stops the call running on connection `h`; 0 also when none runs.
int cancel_conn(int h);

}  // namespace qse
