// The named transactions (begin work NAME, commit work NAME, rollback work
// NAME): what every backend spells and looks up the same way.
#pragma once

#include "conn.h"

#include <cstddef>
#include <string>
#include <vector>

namespace qse {

using NamedList = std::vector<Conn::Txn>;

// The innermost transaction called `name` (UTF-8, case aside), or
// list.size() when none is.
size_t find_named(const NamedList& list, const std::string& name);
// The SQL that begins transaction `name` inside another one.
std::string begin_inner_sql(const std::string& name);
// The SQL that ends `t` (and every one begun inside it): the database
// transaction for the outermost, its savepoint for another.
std::string end_named_sql(const Conn::Txn& t, bool commit);
// The failure of ending a name that no open transaction has.
int no_such_named(Conn* c, const std::string& name);

}  // namespace qse
