// The server's side of the library's own statements: the transaction
// primitives the named transactions are made of, and a table's description.
// Each releases the last statement's savepoint in the same round trip.
#include "../named.h"
#include "../own.h"
#include "session.h"

#include <cstring>

namespace qse {
namespace pg {

int Session::begin() { return run("begin"); }

int Session::commit(bool* rolled_back) {
    const bool aborted = pq.PQtransactionStatus(conn) == pq::PQTRANS_INERROR;
    pq::PGresult* res = nullptr;
    int rc = run(unguard() + "commit", &res);
    // A server found gone before the COMMIT went out (exec() reads what waits
    // first) rolled back; one gone after it may have committed.
    if (rc && !aborted) rc = commit_failed(rc, Commits::TRANSACTION);
    // A commit of a transaction an error spoiled answers ROLLBACK.
    *rolled_back = !rc && (aborted || (res && std::strcmp(pq.PQcmdStatus(res), "ROLLBACK") == 0));
    if (res) pq.PQclear(res);
    return rc;
}

int Session::rollback() { return run(unguard() + "rollback"); }

int Session::savepoint(const std::string& name) { return run(unguard() + savepoint_sql(name)); }

int Session::release(const std::string& name) { return run(unguard() + release_sql(name)); }

int Session::rollback_to(const std::string& name) { return run(unguard() + rollback_to_sql(name)); }

int Session::rewrite_tblstruct(std::string& sql) { return qse::rewrite_tblstruct(c, sql); }

int Session::describe_table(const std::string& table, FieldForms forms, std::vector<TableColumn>& out) {
    std::vector<Attribute> attrs;
    if (int rc = table_layout(table, forms, attrs, nullptr)) return rc;
    for (const Attribute& a : attrs) out.push_back({a.name, a.type, a.len, a.decl});
    return 0;
}

}  // namespace pg
}  // namespace qse
