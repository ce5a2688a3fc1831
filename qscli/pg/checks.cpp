// Values the server makes itself (a date literal in the SQL text, chr(8364),
// -32768 into a smallint by an UPDATE) never pass the driver's checks. The
// columns that a CREATE TABLE or ALTER TABLE run here creates or changes get
// CHECK constraints, in the statement's own transaction, that hold each
// value to what a read of the column returns: the element type's range, the
// DATE days and the CP866 repertoire (both for a table made through a
// connection in CP866: one in UTF-8 reads dates as the server's text).
// Their violation is reported as a value that does not fit its column.
#include "../lexer.h"
#include "session.h"

#include "../../src/pyqivrexdb/qxcore/client/cp866_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <regex>
#include <set>
#include <strings.h>

namespace qse {
namespace pg {

namespace {

// Names a check of the library's; the column's name follows. A user may
// name a constraint so too: the library's own carry MARK as their comment.
constexpr char PREFIX[] = "qx_fit_";
constexpr char MARK[] = "qx_fit: holds the column to what a read of it returns";
constexpr size_t PG_IDENT_MAX = 63;  // the server's identifier length (NAME_MAX is a POSIX macro)

// A regular expression of a character CP866 lacks (NUL aside, which no
// server text has), from the library's own table: a text is readable when it
// has none. The unanchored search of one bracket is the server's cheapest.
std::string outside_cp866() {
    std::vector<unsigned> cps;
    for (unsigned cp = 1; cp < 0x80; ++cp) cps.push_back(cp);
    for (uint16_t cp : QSCLI_CP866_HIGH) cps.push_back(cp);
    std::sort(cps.begin(), cps.end());
    std::string out = "[^";
    char buf[16];
    for (size_t k = 0; k < cps.size();) {
        size_t j = k;
        while (j + 1 < cps.size() && cps[j + 1] == cps[j] + 1) ++j;
        std::snprintf(buf, sizeof buf, "\\u%04x", cps[k]);
        out += buf;
        if (j > k) {
            std::snprintf(buf, sizeof buf, "-\\u%04x", cps[j]);
            out += buf;
        }
        k = j + 1;
    }
    return out + "]";
}

// Type categories whose text form is ASCII: numbers, dates and times,
// booleans, network addresses, bit strings, geometry, internal types.
bool ascii_category(char category) { return category && std::strchr("NDTBIVGZ", category); }

enum : pq::Oid { BYTEA_OID = 17, INT2_OID = 21, INT4_OID = 23, OID_OID = 26, UUID_OID = 2950 };

// The integers the server's own type holds, where it is known here.
bool type_range(pq::Oid base, int64_t* low, int64_t* high) {
    switch (base) {
    case INT2_OID: *low = INT16_MIN, *high = INT16_MAX; return true;
    case INT4_OID: *low = INT32_MIN, *high = INT32_MAX; return true;
    case OID_OID: *low = 0, *high = UINT32_MAX; return true;
    default: return false;
    }
}

// The CHECK expression that holds column `col` (quoted) of base type `base`
// to what a read returns; empty when the type itself does. The server runs
// them for every row written, so each is the cheapest form that refuses the
// same values. An integer or text column is cast (to bigint, to text), so a
// later ALTER ... TYPE still reads its check until the column's is made anew.
std::string rule_for(pq::Oid base, char category, const std::string& col) {
    const MappedColumn m = map_column(base, -1, true, true);
    if (m.dec == Decode::Int && m.type < QSCLI_ET_COUNT && kWriteLow[m.type] != kWriteHigh[m.type]) {
        // Only the ends where the type holds more than a write may store
        // need a comparison: for smallint, integer and oid a single one.
        const int64_t low = kWriteLow[m.type], high = kWriteHigh[m.type];
        int64_t type_low = low - 1, type_high = high + 1;
        type_range(base, &type_low, &type_high);
        const std::string value = col + "::bigint";
        std::string rule;
        if (low > type_low) rule = value + " >= " + std::to_string(low);
        if (high < type_high) rule += (rule.empty() ? "" : " AND ") + value + " <= " + std::to_string(high);
        return rule;
    }
    if (m.type == QSCLI_ET_DATE && !boundary_utf8())
        // As a timestamp: a cast of a date to date is dropped, and a column
        // retyped to text could not be compared with dates. A date past
        // year 294276 fails the cast: a data exception all the same.
        return col + "::timestamp BETWEEN TIMESTAMP '" QSE_DATE_FIRST "' AND TIMESTAMP '" QSE_DATE_LAST "'";
    const bool textual = m.dec == Decode::Text || m.dec == Decode::Padded;
    // A table made through a connection in UTF-8 is read through one: its
    // texts need no check (the server counts a length in characters itself),
    // nor its dates (above).
    if (textual && !boundary_utf8() && !ascii_category(category) && base != UUID_OID && base != BYTEA_OID) {
        static const std::string outside = outside_cp866();
        const std::string text = col + "::text";
        // A string type's text costs little to take: an ASCII one (as many
        // bytes as characters, two cheap calls) skips the regular
        // expression, which costs several times more.
        const std::string ascii =
            category == 'S' ? "octet_length(" + text + ") = char_length(" + text + ") OR " : "";
        return ascii + text + " !~ '" + outside + "'";
    }
    return "";
}

// `name`, or its start and `suffix` when it is too long for the server.
std::string fitted(const std::string& name, const std::string& suffix) {
    if (suffix.empty() && name.size() <= PG_IDENT_MAX) return name;
    size_t keep = std::min(name.size(), PG_IDENT_MAX - suffix.size());
    while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    return name.substr(0, keep) + suffix;
}

// qx_fit_NAME; a name too long for that keeps its start and the column's
// number, so two long names never meet. One a user's constraint holds gets
// the number too, or a count after it.
std::string check_name(const std::string& column, const std::string& attnum, const std::set<std::string>& taken) {
    const std::string name = PREFIX + column;
    std::string fit = fitted(name, name.size() <= PG_IDENT_MAX ? "" : "_" + attnum);
    for (int k = 1; taken.count(fit); ++k) fit = fitted(name, "_" + attnum + (k > 1 ? "_" + std::to_string(k) : ""));
    return fit;
}

// A check's definition without the column (named as written or quoted),
// casts, blanks, quotes and brackets: the form in which two spellings of
// one rule meet.
std::string form_of(const std::string& def, const std::string& column) {
    std::string form;
    Lexer lx(Dialect::Pg, def.data(), def.data() + def.size());
    for (Token t = lx.next_solid(); t.kind != Tok::End; t = lx.next_solid()) {
        if (t.is('(') || t.is(')') || t.word("check")) continue;
        if (t.kind == Tok::Punct && t.size() == 2 && t.b[0] == ':') {
            // A cast: its type's words go (timestamp without time zone).
            Lexer ahead = lx;
            for (Token w = ahead.next_solid(); w.kind == Tok::Word && !w.word("and") && !w.word("or");
                 w = ahead.next_solid())
                lx = ahead;
            continue;
        }
        if ((t.kind == Tok::Word && std::string(t.b, t.e) == column) || (t.kind == Tok::Name && unquote(t) == column))
            continue;
        form += t.kind == Tok::Text ? unquote(t) : std::string(t.b, t.e);
    }
    return form;
}

// Whether an unmarked check of `column` has a form the library's
// own had before they carried MARK, compared in full: an integer type's
// range as today's rule or as a BETWEEN, the DATE days as dates or as
// timestamps, the CP866 repertoire as a pattern to match or one to miss.
bool earlier_form(const std::string& def, const std::string& column) {
    const std::string form = form_of(def, column);
    for (pq::Oid base : {INT2_OID, INT4_OID, OID_OID}) {
        if (form == form_of(rule_for(base, 'N', "x"), "x")) return true;
        const int type = map_column(base, -1, true, true).type;
        if (form == ">=" + std::to_string(kWriteLow[type]) + "AND<=" + std::to_string(kWriteHigh[type])) return true;
    }
    for (const char* time : {"", " 00:00:00"})
        if (form == std::string(">=" QSE_DATE_FIRST) + time + "AND<=" QSE_DATE_LAST + time) return true;
    static const std::regex pattern(
        "(octet_length=char_lengthOR)?(~\\^\\[(\\\\u[0-9a-f]{4}|-)+\\]\\*\\$|!~\\[\\^(\\\\u[0-9a-f]{4}|-)+\\])");
    return std::regex_match(form, pattern);
}

bool at_word(Lexer& lx, Token& t, const char* w) {
    if (!t.word(w)) return false;
    t = lx.next_solid();
    return true;
}

// The user's columns that this transaction created or changed, with the
// type under their domains; not those a parent table gives (its check, made
// with it, goes to its children). Their catalog rows are no older than the
// transaction (age at most 0: its own xid or a later one, its
// subtransactions') and still in progress, where another session's visible
// rows have committed. A row for each check of the column named as the
// library names its own (or one row without), with its comment and
// definition, and the table's names of that kind.
const char* const CHANGED_COLUMNS =
    "select format('%I.%I', n.nspname, r.relname), a.attname, a.attnum, t.oid, t.typcategory, "
    "k.conname, obj_description(k.oid, 'pg_constraint'), pg_get_constraintdef(k.oid), "
    "(select string_agg(x.conname, chr(1)) from pg_constraint x where x.conrelid = a.attrelid "
    "and x.conname like 'qx\\_fit\\_%'), n.nspname, r.relname "
    "from pg_attribute a join pg_class r on r.oid = a.attrelid join pg_namespace n on n.oid = r.relnamespace "
    "cross join lateral (with recursive d(o) as (select a.atttypid union all "
    "select y.typbasetype from pg_type y join d on y.oid = d.o where y.typtype = 'd') "
    "select z.oid, z.typcategory from d join pg_type z on z.oid = d.o where z.typtype <> 'd') t "
    "left join pg_constraint k on k.conrelid = a.attrelid and k.contype = 'c' and k.conkey = array[a.attnum] "
    "and k.conname like 'qx\\_fit\\_%' "
    "where r.relkind in ('r', 'p') and a.attnum > 0 and not a.attisdropped and a.attinhcount = 0 "
    "and n.nspname not in ('pg_catalog', 'information_schema') "
    "and case when age(a.xmin) <= 0 then txid_status(txid_current() - age(a.xmin)) end = 'in progress' "
    "order by 1, 3";

// Whether a check of the column is one the library made: marked, or made
// before checks were marked.
bool library_made(const char* comment, const char* def, const std::string& column, bool has_comment) {
    return has_comment ? std::strcmp(comment, MARK) == 0 : earlier_form(def, column);
}

// Every check of one column named as the library names its own, with its
// comment and definition: which are the library's is decided as add_checks
// decides it.
const char* const NAMED_CHECKS =
    "select n.nspname, r.relname, k.conname, a.attname, obj_description(k.oid, 'pg_constraint'), "
    "pg_get_constraintdef(k.oid) "
    "from pg_constraint k join pg_class r on r.oid = k.conrelid join pg_namespace n on n.oid = r.relnamespace "
    "join pg_attribute a on a.attrelid = k.conrelid and a.attnum = k.conkey[1] "
    "where k.contype = 'c' and k.conname like 'qx\\_fit\\_%' and cardinality(k.conkey) = 1";

std::string check_key(const char* schema, const char* table, const char* name) {
    std::string key = schema;
    key += '\0';
    key += table;
    key += '\0';
    return key + name;
}

}  // namespace

bool defines_columns(const char* sql, size_t n) {
    // Most statements never say TABLE: they are not lexed again.
    static const char word[] = "table";
    bool seen = false;
    for (size_t k = 0; !seen && k + 5 <= n; ++k) seen = (sql[k] | 0x20) == 't' && !strncasecmp(sql + k, word, 5);
    if (!seen) return false;
    Lexer lx(Dialect::Pg, sql, sql + n);
    bool start = true;
    for (Token t = lx.next_solid(); t.kind != Tok::End;) {
        if (t.kind == Tok::Semicolon) {
            start = true;
            t = lx.next_solid();
            continue;
        }
        if (start && at_word(lx, t, "create")) {
            if (!at_word(lx, t, "global")) at_word(lx, t, "local");
            if (!at_word(lx, t, "temp") && !at_word(lx, t, "temporary")) at_word(lx, t, "unlogged");
            if (t.word("table")) return true;
        } else if (start && at_word(lx, t, "alter")) {
            if (t.word("table")) return true;
        }
        start = false;
        t = lx.next_solid();
    }
    return false;
}

int Session::read_library_checks() {
    pq::PGresult* res = nullptr;
    if (int rc = run(NAMED_CHECKS, &res)) return rc;
    library_checks_.clear();
    for (int r = 0, rows = res ? pq.PQntuples(res) : 0; r < rows; ++r) {
        const std::string column = pq.PQgetvalue(res, r, 3);
        const bool ours =
            library_made(pq.PQgetvalue(res, r, 4), pq.PQgetvalue(res, r, 5), column, !pq.PQgetisnull(res, r, 4));
        library_checks_[check_key(pq.PQgetvalue(res, r, 0), pq.PQgetvalue(res, r, 1), pq.PQgetvalue(res, r, 2))] =
            ours ? column : std::string();
    }
    if (res) pq.PQclear(res);
    return 0;
}

bool Session::library_check(const char* schema, const char* table, const char* constraint,
                            std::string* column) const {
    if (!constraint || std::strncmp(constraint, PREFIX, sizeof PREFIX - 1)) return false;
    const auto found = schema && table ? library_checks_.find(check_key(schema, table, constraint))
                                       : library_checks_.end();
    if (found == library_checks_.end()) {
        // A check made since the session read them, by another session:
        // named as the library names its own, it is taken for one.
        *column = constraint + sizeof PREFIX - 1;
        return true;
    }
    *column = found->second;
    return !column->empty();
}

int Session::add_checks() {
    pq::PGresult* res = nullptr;
    if (int rc = run(CHANGED_COLUMNS, &res)) return rc;
    // One ALTER TABLE a table: the server checks its stored rows against
    // all the new constraints in one pass. Then each new check is marked.
    std::string sql, marks, table, alter, schema_name, table_name;
    std::set<std::string> taken;  // the table's names of checks a user made
    std::vector<std::pair<std::string, std::string>> made;  // (key, column)
    auto flush = [&]() {
        if (!alter.empty()) sql += "alter table " + table + alter + ";";
        alter.clear();
    };
    auto add = [&](const std::string& piece) { alter += (alter.empty() ? " " : ", ") + piece; };
    const int rows = res ? pq.PQntuples(res) : 0;
    for (int r = 0; r < rows;) {
        if (table != pq.PQgetvalue(res, r, 0)) {
            flush();
            table = pq.PQgetvalue(res, r, 0);
            schema_name = pq.PQgetvalue(res, r, 9);
            table_name = pq.PQgetvalue(res, r, 10);
            taken.clear();
            const std::string names = pq.PQgetvalue(res, r, 8);
            for (size_t at = 0; at < names.size();) {
                size_t end = names.find('\1', at);
                if (end == std::string::npos) end = names.size();
                taken.insert(names.substr(at, end - at));
                at = end + 1;
            }
        }
        const std::string column = pq.PQgetvalue(res, r, 1), attnum = pq.PQgetvalue(res, r, 2);
        const std::string rule = rule_for(static_cast<pq::Oid>(std::strtoul(pq.PQgetvalue(res, r, 3), nullptr, 10)),
                                          *pq.PQgetvalue(res, r, 4), quote_ident(column));
        // A changed column's check is made anew: its type or name may differ.
        // A user's check of the same kind of name stays as it is.
        for (; r < rows && table == pq.PQgetvalue(res, r, 0) && attnum == pq.PQgetvalue(res, r, 2); ++r) {
            if (pq.PQgetisnull(res, r, 5)) continue;
            const std::string name = pq.PQgetvalue(res, r, 5);
            if (!library_made(pq.PQgetvalue(res, r, 6), pq.PQgetvalue(res, r, 7), column, !pq.PQgetisnull(res, r, 6)))
                continue;
            add("drop constraint " + quote_ident(name));
            taken.erase(name);
        }
        if (rule.empty()) continue;
        const std::string name = check_name(column, attnum, taken);
        taken.insert(name);
        add("add constraint " + quote_ident(name) + " check (" + rule + ")");
        made.emplace_back(check_key(schema_name.c_str(), table_name.c_str(), name.c_str()), column);
        marks += "comment on constraint " + quote_ident(name) + " on " + table + " is '" + MARK + "';";
    }
    flush();
    if (res) pq.PQclear(res);
    // The new checks are known before the stored rows are checked against
    // them; then all are read again (a child table takes its parent's).
    for (const auto& m : made) library_checks_[m.first] = m.second;
    const int rc = sql.empty() ? 0 : run(sql + marks);
    if (rc) {
        for (const auto& m : made) library_checks_.erase(m.first);
        return rc;
    }
    return read_library_checks();
}

int Session::run_quietly(const std::string& sql) {
    std::string saved = c->last_error;
    bool quiet = c->err_to_user;
    c->err_to_user = false;  // the statement's own error was delivered
    const int code = run(sql);
    c->err_to_user = quiet;
    c->last_error = saved;
    return code;
}

int Session::run_defining(Stmt* st, const std::string& sql) {
    if (pq.PQtransactionStatus(conn) == pq::PQTRANS_IDLE) {
        guarded_ = false;
        // The statement and its checks commit together or not at all.
        if (int rc = run("begin")) return rc;
        int rc = run_statement(st, sql);
        if (!rc) rc = add_checks();
        if (rc) {
            if (!lost_) run_quietly("rollback");
            return rc;
        }
        return run("commit");
    }
    int rc = run_guarded(st, sql);
    if (rc) return rc;
    if (!guarded_) return add_checks();  // the text ended the transaction itself
    if ((rc = add_checks()) && !lost_) {
        take_back_statement();  // with its checks
        guarded_ = false;
    }
    return rc;
}

}  // namespace pg
}  // namespace qse
