// Named transactions: one transaction of the database, savepoints inside it.
#include "named.h"
#include "sqltext.h"

#include <strings.h>

namespace qse {

size_t find_named(const NamedList& list, const std::string& name) {
    for (size_t k = list.size(); k-- > 0;)
        if (strcasecmp(list[k].name.c_str(), name.c_str()) == 0) return k;
    return list.size();
}

std::string begin_inner_sql(const std::string& name) { return "savepoint " + quote_ident(name); }

std::string end_named_sql(const Conn::Txn& t, bool commit) {
    if (t.outer) return commit ? "commit" : "rollback";
    const std::string q = quote_ident(t.name);
    return commit ? "release savepoint " + q : "rollback to savepoint " + q + "; release savepoint " + q;
}

int no_such_named(Conn* c, const std::string& name) {
    return c->fail(QSCLI_E_NO_TRANSACTION, "transaction " + name + " does not exist");
}

}  // namespace qse
