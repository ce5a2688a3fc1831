// The handle registry: connection and statement numbers the caller holds.
#pragma once

#include "conn.h"

namespace qse {

// Handle registry; unknown or released handles give null.
Conn* find_conn(int h);
Stmt* find_stmt(int h);
int new_conn();
int new_stmt(Conn* c);
void drop_conn(int h);
void drop_stmt(int h);
// qcSqlCancel: stops the call running on connection `h`; 0 also when none runs.
int cancel_conn(int h);

}  // namespace qse
