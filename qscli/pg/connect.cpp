// Logging on to a PostgreSQL server, the session's settings and information,
// server errors as the library's codes, notices and notifications as
// messages, and cancelling.
#include "../../src/pyqivrexdb/qxcore/client/secrets.h"
#include "session.h"

#include "../platform.h"

#include <cstdlib>

namespace qse {

bool is_pg_name(const std::string& name) { return qsecret::names_server(name); }

namespace pg {

namespace {

// The library's code for a server error, by its SQLSTATE; where SQLite has
// the same condition, its code (so callers see one code on both engines).
int code_of(const char* state) {
    if (!state || std::strlen(state) != 5) return QSCLI_E_ERROR;
    std::string s(state), cls = s.substr(0, 2);
    if (s == "57014") return QSCLI_E_INTERRUPTED;
    if (s == "25P02") return QSCLI_E_ABORT;
    if (s == "42501") return QSCLI_E_PERM;
    if (s == "55P03") return QSCLI_E_BUSY;
    if (s == "57P01" || s == "57P02" || s == "57P03" || cls == "08") return QSCLI_E_IO;
    if (cls == "23") return QSCLI_E_CONSTRAINT;
    if (cls == "22") return QSCLI_E_MISMATCH;
    if (cls == "40") return QSCLI_E_BUSY;
    if (cls == "28") return QSCLI_E_AUTH;
    if (cls == "3D") return QSCLI_E_CANTOPEN;
    if (cls == "53") return QSCLI_E_FULL;
    if (cls == "54") return QSCLI_E_TOOBIG;
    if (cls == "58") return QSCLI_E_IO;
    if (cls == "XX") return QSCLI_E_INTERNAL;
    return QSCLI_E_ERROR;
}

}  // namespace

// libpq's messages end with a newline.
std::string trimmed(const char* m) {
    std::string s = m ? m : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

namespace {

void on_notice(void* arg, const pq::PGresult* res) {
    Session* s = static_cast<Session*>(arg);
    const char* sev = s->pq.PQresultErrorField(res, pq::PG_DIAG_SEVERITY_NONLOCALIZED);
    const char* msg = s->pq.PQresultErrorField(res, pq::PG_DIAG_MESSAGE_PRIMARY);
    std::string text = msg ? msg : "";
    // RAISE NOTICE and INFO come as their text; anything graver says what it is.
    if (sev && std::strcmp(sev, "NOTICE") != 0 && std::strcmp(sev, "INFO") != 0 && std::strcmp(sev, "LOG") != 0)
        text = std::string(sev) + ": " + text;
    s->c->deliver(text, 0, false);
}

}  // namespace

Session::Session(Conn* conn_, const pq::Api& api, pq::PGconn* pg) : pq(api), conn(pg), c(conn_) {
    pq.PQsetNoticeReceiver(conn, on_notice, this);
    cancel_ = pq.PQgetCancel(conn);
}

Session::~Session() {
    detach_rows();
    {
        std::lock_guard<std::mutex> g(cancel_lock_);
        if (cancel_) pq.PQfreeCancel(cancel_);
        cancel_ = nullptr;
    }
    if (conn) pq.PQfinish(conn);
}

namespace {

// Dates, intervals and money in the forms the record packer and the
// readers of server types read, whatever the
// server's defaults, and strings as the library's dialect writes them ('' for
// a quote, a backslash is itself); text is UTF-8 on the wire
// (client_encoding).
const char SETTINGS[] =
    "set datestyle = 'ISO, YMD'; set intervalstyle = 'postgres'; set bytea_output = 'hex'; set lc_monetary = 'C'; "
    "set extra_float_digits = 1; set standard_conforming_strings = on";

}  // namespace

int Session::start() {
    MessageHold held(c);
    bool unix_socket = false;
    platform::socket_ends(pq.PQsocket(conn), &remote_, &local_, &unix_socket);
    if (unix_socket || local_.empty()) local_ = local_host_pid();
    if (int rc = standard_strings_on(true)) return rc;
    pq::PGresult* pid = nullptr;
    if (int rc = run(std::string(SETTINGS) + "; select pg_backend_pid()", &pid)) return rc;
    if (pid && pq.PQntuples(pid) == 1 && std::atoi(pq.PQgetvalue(pid, 0, 0)) != pq.PQbackendPID(conn)) prepare = false;
    if (pid) pq.PQclear(pid);
    if (int rc = read_library_checks()) return rc;
    const char* v = pq.PQparameterStatus(conn, "server_version");
    std::string ver = v ? v : "?";
    size_t sp = ver.find(' ');
    if (sp != std::string::npos) ver.resize(sp);
    version_ = "PostgreSQL " + ver;
    return 0;
}

bool Session::info(unsigned attr, std::string& out) {
    switch (attr) {
    case QSCLI_CONN_SRV_VERS2: out = version_; return true;
    case QSCLI_CONN_RMTADDR: out = utf8_to_cp866_lossy(remote_.c_str()); return true;
    case QSCLI_CONN_LCLADDR: out = local_; return true;
    case QSCLI_CONN_TIME_ZONE: {
        // As the server last reported it: a SET, a RESET or a rollback of
        // either is reported at the end of its statement.
        const char* zone = pq.PQparameterStatus(conn, "TimeZone");
        out = utf8_to_cp866_lossy(zone ? zone : "");
        return true;
    }
    default: return false;
    }
}

int Session::cancel() {
    std::lock_guard<std::mutex> g(cancel_lock_);
    char err[256];
    if (c->inherited()) return 0;  // it would stop the parent's statement
    if (cancel_ && !pq.PQcancel(cancel_, err, sizeof err)) return QSCLI_E_ERROR;
    return 0;
}

void Session::check_lost() {
    if (!lost_ && pq.PQstatus(conn) == pq::CONNECTION_BAD) lost_ = true;
}

int Session::fail_result(pq::PGresult* res) {
    const char* state = res ? pq.PQresultErrorField(res, pq::PG_DIAG_SQLSTATE) : nullptr;
    const char* msg = res ? pq.PQresultErrorField(res, pq::PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const char* detail = res ? pq.PQresultErrorField(res, pq::PG_DIAG_MESSAGE_DETAIL) : nullptr;
    std::string text = msg ? msg : trimmed(res ? pq.PQresultErrorMessage(res) : pq.PQerrorMessage(conn));
    if (detail) text += std::string(" (") + detail + ")";
    int code = code_of(state);
    std::string column;
    if (state && !std::strcmp(state, "23514") && res &&
        library_check(pq.PQresultErrorField(res, pq::PG_DIAG_SCHEMA_NAME),
                      pq.PQresultErrorField(res, pq::PG_DIAG_TABLE_NAME),
                      pq.PQresultErrorField(res, pq::PG_DIAG_CONSTRAINT_NAME), &column)) {
        // A value the library's check refused: as a write to the engine fails.
        code = QSCLI_E_MISMATCH;
        text = "column " + column + ": " + text;
    }
    last_state_ = state ? state : "";
    if (res) pq.PQclear(res);
    check_lost();
    if (lost_ || code == QSCLI_E_IO) {
        lost_ = true;
        return fail_lost(text.empty() ? trimmed(pq.PQerrorMessage(conn)) : text);
    }
    return c->fail(code, text);
}

int Session::fail_conn(const char* what) {
    check_lost();
    std::string text = trimmed(pq.PQerrorMessage(conn));
    if (lost_) return fail_lost(text);
    return c->fail(QSCLI_E_ERROR, std::string(what) + ": " + text);
}

int Session::run(const std::string& sql, pq::PGresult** last) {
    if (last) *last = nullptr;
    if (!pq.PQsendQuery(conn, sql.c_str())) return fail_conn("cannot send the statement");
    int code = 0;
    while (pq::PGresult* res = pq.PQgetResult(conn)) {
        int st = pq.PQresultStatus(res);
        if (st == pq::PGRES_FATAL_ERROR || st == pq::PGRES_BAD_RESPONSE || st == pq::PGRES_NONFATAL_ERROR) {
            int rc = fail_result(res);
            if (!code) code = rc;
            continue;
        }
        if (st == pq::PGRES_COPY_IN) pq.PQputCopyEnd(conn, "not expected");
        if (last && !code) {
            if (*last) pq.PQclear(*last);
            *last = res;
        } else {
            pq.PQclear(res);
        }
    }
    check_lost();
    if (!code && lost_) code = fail_conn("statement");
    if (code && last && *last) {
        pq.PQclear(*last);
        *last = nullptr;
    }
    return code;
}

int Session::run_params(const char* name, const char* sql, int n, const char* const* values, pq::PGresult** out) {
    *out = nullptr;
    pq::PGresult* res = nullptr;
    // Prepared once a session: the engine's own queries run again and again.
    if (prepare && !own_prepared_.count(name)) {
        pq::PGresult* r = pq.PQprepare(conn, name, sql, n, nullptr);
        if (r && pq.PQresultStatus(r) == pq::PGRES_COMMAND_OK) own_prepared_.insert(name);
        if (r) pq.PQclear(r);
    }
    int sent = own_prepared_.count(name)
                   ? pq.PQsendQueryPrepared(conn, name, n, values, nullptr, nullptr, 0)
                   : pq.PQsendQueryParams(conn, sql, n, nullptr, values, nullptr, nullptr, 0);
    if (!sent) return fail_conn("cannot send the statement");
    int code = 0;
    while (pq::PGresult* r = pq.PQgetResult(conn)) {
        int st = pq.PQresultStatus(r);
        if (st == pq::PGRES_FATAL_ERROR || st == pq::PGRES_BAD_RESPONSE) {
            int rc = fail_result(r);
            if (!code) code = rc;
        } else if (!res && !code) {
            res = r;
        } else {
            pq.PQclear(r);
        }
    }
    check_lost();
    if (!code && lost_) code = fail_conn("statement");
    if (code && last_state_ == "26000") own_prepared_.clear();  // DISCARD ALL took them
    if (code && res) {
        pq.PQclear(res);
        res = nullptr;
    }
    *out = res;
    return code;
}

void Session::deliver_notifications() {
    while (pq::PGnotify* n = pq.PQnotifies(conn)) {
        // A channel named by a number gives that user type; any other, 0.
        const char* ch = n->relname;
        char* end = nullptr;
        long t = std::strtol(ch, &end, 10);
        int usertype = (*ch && end && *end == 0 && t >= INT32_MIN && t <= INT32_MAX) ? static_cast<int>(t) : 0;
        std::string text = n->extra ? n->extra : "";
        std::string channel = ch;
        pq.PQfreemem(n);
        c->deliver(text, usertype, true, channel);
    }
}

int Session::keep_settings() {
    // A RESET ALL (what a pool does between borrowers) or a SET puts the
    // settings back to the server's or the role's defaults. The server
    // reports DateStyle and IntervalStyle when they change; a text that may
    // have reset them is taken as a change too (a role's defaults may
    // equal the driver's DateStyle, and the server reports nothing of
    // extra_float_digits): set all again before the next text is read.
    // standard_conforming_strings starts on (log-on checks it), so a
    // reset keeps it; turned off, it fails the text (standard_strings.cpp).
    if (int rc = standard_strings_on(false)) return rc;
    if (int rc = utf8_kept()) return rc;
    if (int rc = float_digits_kept()) return rc;
    const char* dates = pq.PQparameterStatus(conn, "DateStyle");
    const char* intervals = pq.PQparameterStatus(conn, "IntervalStyle");
    const bool kept = !resets_ && (!dates || std::strcmp(dates, "ISO, YMD") == 0) &&
                      (!intervals || std::strcmp(intervals, "postgres") == 0);
    // An aborted transaction takes nothing but its rollback. A reset is
    // forgotten only once the settings are set again: a cancel that stops
    // them leaves them for the next text.
    if (kept || pq.PQtransactionStatus(conn) == pq::PQTRANS_INERROR) return 0;
    const int rc = run(SETTINGS);
    if (!rc) resets_ = false;
    return rc;
}

int Session::utf8_kept() {
    // Every text goes out and comes back as UTF-8: under another encoding the
    // server would read what is sent, and write what is read, in that one,
    // and store 'é' as 'Ã©' without a word.
    const char* now = pq.PQparameterStatus(conn, "client_encoding");
    if (!now || std::strcmp(now, "UTF8") == 0) return 0;
    const std::string was = now;
    // An aborted transaction takes nothing but its rollback, which undoes the SET.
    if (pq.PQtransactionStatus(conn) == pq::PQTRANS_INERROR) return 0;
    run("set client_encoding = 'UTF8'");
    return c->fail(QSCLI_E_ERROR, "client_encoding was set to " + was +
                                      "; the driver sends and reads text as UTF-8 only, and set it back to UTF8");
}

int Session::float_digits_kept() {
    // With 0 or less the server writes a float8 with 15 digits, a float4
    // with 6: 0.30000000000000004 would read back as 0.3. The server does
    // not report the setting, so only a text that names it is followed by
    // a look at it (once its rows are read).
    const bool named = floats_named_;
    floats_named_ = false;
    if (!named || pq.PQtransactionStatus(conn) == pq::PQTRANS_INERROR) return 0;
    pq::PGresult* now = nullptr;
    if (run("show extra_float_digits", &now) || !now) return 0;
    const std::string was = pq.PQntuples(now) == 1 ? pq.PQgetvalue(now, 0, 0) : "1";
    pq.PQclear(now);
    if (std::atoi(was.c_str()) > 0) return 0;
    run("set extra_float_digits = 1");
    return c->fail(QSCLI_E_ERROR, "extra_float_digits was set to " + was +
                                      "; the driver reads every float as its shortest exact text, and set it back to 1");
}

bool Session::in_transaction() const { return pq.PQtransactionStatus(conn) != pq::PQTRANS_IDLE; }

int Session::transaction_state() const {
    // While rows or COPY data stream the server is busy with them, in what
    // state it was.
    if (open_rows || open_copy) return state_before_;
    switch (pq.PQtransactionStatus(conn)) {
    case pq::PQTRANS_IDLE: return QSCLI_TX_IDLE;
    case pq::PQTRANS_INERROR: return QSCLI_TX_FAILED;
    case pq::PQTRANS_UNKNOWN: return -1;  // the server is gone: nobody knows
    default: return QSCLI_TX_OPEN;
    }
}

}  // namespace pg

int open_pg(Conn* c, const std::string& given, const std::string& user, const std::string& passwd,
            std::unique_ptr<Backend>* out) {
    std::string name = given, prepared;
    const bool stated = pg::take_option(name, "prepared_statements", &prepared);
    if (stated && prepared != "on" && prepared != "off")
        return c->fail(QSCLI_E_CANTOPEN, "prepared_statements must be on or off, not \"" + prepared + "\"");
    const char* why = nullptr;
    const pq::Api* api = pq::api(&why);
    if (!api) return c->fail(QSCLI_E_NO_CLIENT, why);
    // Keywords before dbname are defaults the name's own settings override;
    // client_encoding comes after it, so text is always UTF-8 on the wire.
    std::vector<const char*> keys, values;
    if (!user.empty()) keys.push_back("user"), values.push_back(user.c_str());
    if (!passwd.empty()) keys.push_back("password"), values.push_back(passwd.c_str());
    const char* const defaults[][2] = {
        {"connect_timeout", "10"}, {"keepalives", "1"}, {"keepalives_idle", "10"},
        {"keepalives_interval", "5"}, {"keepalives_count", "3"}, {"fallback_application_name", "pyqivrexdb"},
    };
    for (const auto& d : defaults) keys.push_back(d[0]), values.push_back(d[1]);
    keys.push_back("dbname"), values.push_back(name.c_str());
    keys.push_back("client_encoding"), values.push_back("UTF8");
    keys.push_back(nullptr), values.push_back(nullptr);
    pq::PGconn* conn = api->PQconnectdbParams(keys.data(), values.data(), 1);
    if (!conn) return c->fail(QSCLI_E_NOMEM, "out of memory");
    if (api->PQstatus(conn) != pq::CONNECTION_OK) {
        // libpq quotes what it could not parse, a password too.
        std::string text = qsecret::scrubbed(pg::trimmed(api->PQerrorMessage(conn)), name, passwd);
        api->PQfinish(conn);
        bool auth = text.find("authentication") != std::string::npos || text.find("password") != std::string::npos;
        return c->fail(auth ? QSCLI_E_AUTH : QSCLI_E_CANTOPEN, "cannot connect to the server: " + text);
    }
    std::unique_ptr<pg::Session> s(new pg::Session(c, *api, conn));
    if (int rc = s->start()) return rc;
    if (stated) s->prepare = prepared == "on";
    out->reset(s.release());
    return 0;
}

}  // namespace qse
