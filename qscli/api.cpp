// The exported entry points. Each checks its handles and pointers, never
// lets a C++ exception out, and answers with 0 or an error code.
#include "arrow_out.h"
#include "dates.h"
#include "handles.h"
#include "lexer.h"
#include "platform.h"
#include "records.h"
#include "stream.h"
#include "text.h"

#include <cstdlib>
#include <cstring>
#include <new>

using namespace qse;

#define GUARDED(body)                                   \
    try {                                               \
        body                                            \
    } catch (const std::bad_alloc&) {                   \
        return QSCLI_E_NOMEM;                           \
    } catch (...) {                                     \
        return QSCLI_E_INTERNAL;                        \
    }

namespace {

// Whether a text begins with COPY (comments aside): what qcSqlCopyOut runs.
bool is_copy(const char* sql) {
    Lexer lx(Dialect::Pg, sql, sql + std::strlen(sql));
    return lx.next_solid().word("copy");
}

// Anything else run on a connection ends the COPY whose data is being read.
void end_copies(Conn* c) {
    for (Stmt* st : c->stmts)
        if (st->copy) st->clear_result();
}

// A statement whose connection went away tells why.
QSE_COLD void tell_gone(Stmt* st) { st->error = st->gone; }

// A statement that can run: known, its connection still open (and, when
// `idle`, not in a call).
inline int live_stmt(int h, Stmt** out, bool idle = false) {
    Stmt* st = find_stmt(h);
    if (!st) return QSCLI_E_STATEMENT;
    if (!st->conn || !st->conn->backend) {
        if (st->gone.empty()) return QSCLI_E_STATEMENT;
        tell_gone(st);
        return QSCLI_E_IO;
    }
    if (idle && st->busy) return QSCLI_E_IN_USE;
    *out = st;
    return 0;
}

// A server that went away leaves the connection closed: its statements then
// answer that it went away, and why.
int settle(Conn* c, int rc) {
    if (c->backend && !c->backend->alive() && !c->busy) {
        for (Stmt* s : c->stmts) s->gone = c->last_text();
        c->close_db();
    }
    return rc;
}

// A call that works on `c` (for statement `st`, which then keeps the error):
// refused in a forked child. A cancel meant for an earlier call is
// forgotten, except inside a callback of a running call, which it still stops.
int enter(Conn* c, Stmt* st = nullptr) {
    const int rc = c->forked();
    if (rc && st) st->error = c->last_text();
    if (!rc && !c->busy) c->begin_call();
    return rc;
}

// A new command on `c` ends what the connection was reading: `st`'s own
// result, every other stream (read to its end first), and any COPY's data.
void new_command(Conn* c, Stmt* st = nullptr) {
    if (st) st->clear_result();
    drain_streams(c);
    end_copies(c);
}

// A statement's answer: its error text kept (or none), then settled.
int answer(Stmt* st, int rc) {
    if (rc) st->error = st->conn->last_text();
    else st->error.clear();
    return settle(st->conn, rc);
}

// Runs `run(c)`, a command of statement `st`, with the field forms `st`
// asked for. QSCLI_E_UNSUPPORTED passes untouched: nothing ran.
template <class Run>
int command(Stmt* st, Run run) {
    Conn* c = st->conn;
    if (int rc = enter(c, st)) return rc;
    BoundaryText boundary(c->text_utf8);
    const FieldForms outer = c->asked;  // a callback's own statement runs inside
    c->asked = st->forms();
    new_command(c, st);
    const int rc = run(c);
    c->asked = outer;
    return rc == QSCLI_E_UNSUPPORTED ? rc : answer(st, rc);
}

// Runs `run()`, a load into a table of `c`, as a command runs.
template <class Run>
int load(Conn* c, Run run) {
    if (int rc = enter(c)) return rc;
    BoundaryText boundary(c->text_utf8);
    new_command(c);
    const int rc = [&] {
        BusyGuard held(c->busy);
        return run();
    }();
    return rc == QSCLI_E_UNSUPPORTED ? rc : settle(c, rc);
}

int put_text(const std::string& text, char* buf, unsigned size, unsigned* length) {
    if (length) *length = 0;
    if (!buf || size == 0) return QSCLI_E_ARGUMENT;
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buf, text.data(), n);
    buf[n] = 0;
    if (length) *length = static_cast<unsigned>(n);
    return 0;
}

// The result columns' whole names (QSCLI_STMT_COL_NAMES) in the boundary's
// text, each ended by a NUL; a column the backend named no further than
// its record keeps the record's name.
std::string whole_names(const Stmt& st) {
    std::string out;
    const bool whole = st.names && st.names->size() == st.desc.size();
    for (size_t k = 0; k < st.desc.size(); ++k) {
        const ColStruct_t& d = st.desc[k];
        const char* cut = d.asname[0] ? d.asname : d.fname;
        out += whole ? utf8_to_cp866_lossy((*st.names)[k].c_str()) : std::string(cut, strnlen(cut, sizeof d.fname));
        out.push_back('\0');
    }
    return out;
}

template <typename T>
int put_fixed(T v, void* buf, unsigned size, unsigned* length) {
    if (length) *length = 0;
    if (!buf || size < sizeof v) return QSCLI_E_ARGUMENT;
    std::memcpy(buf, &v, sizeof v);
    if (length) *length = sizeof v;
    return 0;
}

// Disconnecting and freeing both close the database, never under a call.
int close_idle(int hdb) {
    Conn* c = find_conn(hdb);
    if (!c) return QSCLI_E_CONNECTION;
    if (c->busy) return QSCLI_E_IN_USE;
    c->close_db();
    return 0;
}

}  // namespace

extern "C" {

QSCLI_EXPORT int QSCLI_CALL qcSqlInit(int flags) {
    (void)flags;
    GUARDED({
        static const bool once = [] {
            if (const char* budget = std::getenv("QSCLI_RESULT_MEMORY")) {
                char* end = nullptr;
                unsigned long long v = std::strtoull(budget, &end, 10);
                if (end != budget && *end == 0) RecordStore::set_memory_budget(v);
            }
            return true;
        }();
        (void)once;
        return init_sqlite();
    })
}

QSCLI_EXPORT int QSCLI_CALL qcSqlDone(void) { return 0; }
QSCLI_EXPORT int QSCLI_CALL qcSqlExecDirectAsync(void) { return QSCLI_E_UNSUPPORTED; }
QSCLI_EXPORT int QSCLI_CALL qcSqlExecDirectQuery(void) { return QSCLI_E_UNSUPPORTED; }

QSCLI_EXPORT int QSCLI_CALL qcSqlAllocConnect(int* hdb) {
    if (!hdb) return QSCLI_E_ARGUMENT;
    GUARDED({
        *hdb = new_conn();
        return 0;
    })
}

QSCLI_EXPORT int QSCLI_CALL qcSqlConnect(int hdb, char* server, char* user, char* passwd) {
    GUARDED({
        Conn* c = find_conn(hdb);
        if (!c || c->backend) return QSCLI_E_CONNECTION;
        if (!server || !*server || !user || !passwd) return QSCLI_E_ARGUMENT;
        c->begin_call();
        BoundaryText boundary(c->text_utf8);
        std::string name;
        std::string login;
        std::string password;
        cp866_to_utf8(reinterpret_cast<const unsigned char*>(server), std::strlen(server), name);
        cp866_to_utf8(reinterpret_cast<const unsigned char*>(user), std::strlen(user), login);
        cp866_to_utf8(reinterpret_cast<const unsigned char*>(passwd), std::strlen(passwd), password);
        std::unique_ptr<Backend> b;
        int rc = is_pg_name(name) ? open_pg(c, name, login, password, &b) : open_sqlite(c, name, &b);
        if (rc) return rc;
        {
            std::lock_guard<std::mutex> d(c->db_lock);
            c->backend = std::move(b);
        }
        c->server = name;
        c->user = login;
        c->pid = platform::process_id();
        return 0;
    })
}

QSCLI_EXPORT int QSCLI_CALL qcSqlDisconnect(int* hdb) {
    if (!hdb) return QSCLI_E_ARGUMENT;
    GUARDED({ return close_idle(*hdb); })
}

QSCLI_EXPORT int QSCLI_CALL qcSqlFreeConnect(int* hdb) {
    if (!hdb) return QSCLI_E_ARGUMENT;
    GUARDED({
        if (int rc = close_idle(*hdb)) return rc;
        drop_conn(*hdb);
        return 0;
    })
}

QSCLI_EXPORT int QSCLI_CALL qcSqlGetConnectAttr(int hdb, unsigned int attr, int zero, char* buf,
                                                unsigned int size, unsigned int* length) {
    (void)zero;
    GUARDED({
        if (length) *length = 0;
        Conn* c = find_conn(hdb);
        if (!c) return QSCLI_E_CONNECTION;
        BoundaryText boundary(c->text_utf8);
        std::string text;
        if (attr == QSCLI_CONN_ERR_TEXT) {
            text = utf8_to_cp866_lossy(c->last_text().c_str());
        } else if (attr == QSCLI_CONN_MSG_CHANNEL) {
            if (c->msg) text = c->msg->channel;
        } else if (!c->backend) {
            // Before log-on only the client's own address is known.
            if (attr != QSCLI_CONN_LCLADDR) return QSCLI_E_CONNECTION;
            text = local_host_pid();
        } else if (!c->backend->info(attr, text)) {
            return QSCLI_E_ARGUMENT;
        }
        return put_text(text, buf, size, length);
    })
}

QSCLI_EXPORT int QSCLI_CALL qcSqlSetConnectAttr(int hdb, unsigned int attr, void* value,
                                                unsigned int zero) {
    (void)zero;
    Conn* c = find_conn(hdb);
    if (!c) return QSCLI_E_CONNECTION;
    switch (attr) {
    case QSCLI_ATTR_CBK_SRVMSG:
        c->srv_cb = reinterpret_cast<qcSqlCbkSrvMsgT>(value);
        return 0;
    case QSCLI_ATTR_CBK_SRVUSERSEND:
        c->user_cb = reinterpret_cast<qcSqlCbkSrvUserSendT>(value);
        return 0;
    case QSCLI_ATTR_NULL_FLAGS:
        c->null_flags = value != nullptr;
        return 0;
    case QSCLI_ATTR_INT64:
        c->loads.int64 = value != nullptr;
        return 0;
    case QSCLI_ATTR_SERVER_TYPES:
        c->loads.decimal = value != nullptr;
        return 0;
    case QSCLI_ATTR_MSG_UTF8:
        c->msg_utf8 = value != nullptr;
        return 0;
    case QSCLI_ATTR_TEXT_UTF8:
        // Chosen before log-on, so the connect texts are read in it too.
        if (c->backend) return QSCLI_E_IN_USE;
        c->text_utf8 = value != nullptr;
        return 0;
    default: return QSCLI_E_ARGUMENT;
    }
}

QSCLI_EXPORT int QSCLI_CALL qcSqlConnReadMsg(int hdb, void* buf, unsigned int size,
                                             unsigned int* length) {
    if (length) *length = 0;
    Conn* c = find_conn(hdb);
    if (!c) return QSCLI_E_CONNECTION;
    if (!length) return QSCLI_E_ARGUMENT;
    Message* m = c->msg;
    if (!m || m->pos >= m->text.size()) return 0;
    if (!buf) return QSCLI_E_ARGUMENT;
    size_t n = m->text.size() - m->pos;
    if (n > size) n = size;
    std::memcpy(buf, m->text.data() + m->pos, n);
    m->pos += n;
    *length = static_cast<unsigned>(n);
    return 0;
}

QSCLI_EXPORT int QSCLI_CALL qcSqlAllocStmt(int hdb, int* hstmt) {
    if (!hstmt) return QSCLI_E_ARGUMENT;
    GUARDED({
        Conn* c = find_conn(hdb);
        if (!c || !c->backend) return QSCLI_E_CONNECTION;
        *hstmt = new_stmt(c);
        return 0;
    })
}

QSCLI_EXPORT int QSCLI_CALL qcSqlSetStmtAttr(int hstmt, unsigned int attr, void* value,
                                             unsigned int size) {
    (void)size;
    Stmt* st;
    if (int rc = live_stmt(hstmt, &st)) return rc;
    if (attr == QSCLI_ATTR_NULL_FLAGS) {
        // The value is the setting itself, not a pointer to it.
        const uintptr_t setting = reinterpret_cast<uintptr_t>(value);
        if (setting > 2) return QSCLI_E_ARGUMENT;
        if (st->busy) return QSCLI_E_IN_USE;
        st->null_flags = static_cast<int>(setting);
        return 0;
    }
    bool* on = attr == QSCLI_ATTR_INT64          ? &st->int64
               : attr == QSCLI_ATTR_STREAM       ? &st->stream
               : attr == QSCLI_ATTR_SERVER_TYPES ? &st->server_types
                                                 : nullptr;
    if (on) {
        if (st->busy) return QSCLI_E_IN_USE;
        *on = value != nullptr;
        return 0;
    }
    if (attr != QSCLI_ATTR_FLD_VERBOSE || !value) return QSCLI_E_ARGUMENT;
    st->verbose = *static_cast<int*>(value);
    return 0;
}

QSCLI_EXPORT int QSCLI_CALL qcSqlExecDirect(int hstmt, const char* sql) {
    GUARDED({
        Stmt* st;
        if (int rc = live_stmt(hstmt, &st, true)) return rc;
        if (!sql) return QSCLI_E_ARGUMENT;
        return command(st, [&](Conn* c) {
            const int rc = c->backend->exec(st, sql);
            return !rc && st->source && !st->results ? stream_start(c, st) : rc;
        });
    })
}

QSCLI_EXPORT int QSCLI_CALL qcSqlExecRecords(int hstmt, const char* sql, int fields, const int* layout, qc_long count,
                                             unsigned int rec_size, void* records, qc_long* done, int64_t* changes) {
    GUARDED({
        if (done) *done = 0;
        if (changes) *changes = 0;
        Stmt* st;
        if (int rc = live_stmt(hstmt, &st, true)) return rc;
        RecordLayout lay;
        if (!sql || !done || !changes || count < 0 || (count > 0 && !records) || !lay.read(fields, layout, rec_size))
            return QSCLI_E_ARGUMENT;
        const auto* recs = static_cast<const unsigned char*>(records);
        return command(st, [&](Conn* c) { return c->backend->exec_records(st, sql, lay, count, recs, done, changes); });
    })
}

QSCLI_EXPORT int QSCLI_CALL qcSqlCopyOut(int hstmt, const char* sql, void* buf, unsigned int size,
                                         unsigned int* length) {
    GUARDED({
        if (length) *length = 0;
        Stmt* st;
        if (int rc = live_stmt(hstmt, &st, true)) return rc;
        if (!buf || !length || size == 0 || (sql && !is_copy(sql))) return QSCLI_E_ARGUMENT;
        Conn* c = st->conn;
        if (int rc = enter(c, st)) return rc;
        // The streams read ahead here keep their text as their connection does.
        BoundaryText boundary(c->text_utf8);
        int rc = 0;
        if (sql) {
            new_command(c, st);
            st->copy_cut = false;
            rc = c->backend->copy_out(st, sql);
            if (rc == QSCLI_E_UNSUPPORTED) return rc;
        } else if (st->copy_cut) {
            rc = c->fail(QSCLI_E_ERROR, "the COPY ended before its data did: the connection ran something else");
        }
        if (!rc && st->copy) {
            BusyGuard held_stmt(st->busy);
            BusyGuard held_conn(c->busy);
            rc = st->copy->read(static_cast<char*>(buf), size, length);
            if (rc || *length == 0) st->copy.reset();
        }
        return answer(st, rc);
    })
}

QSCLI_EXPORT int QSCLI_CALL qcSqlGetStmtAttr(int hstmt, unsigned int attr, int zero, void* buf,
                                             unsigned int size, unsigned int* length) {
    (void)zero;
    if (length) *length = 0;
    if (attr == QSCLI_STMT_ERR_TEXT) {
        // Also once the connection is gone: the text says why.
        Stmt* st = find_stmt(hstmt);
        if (!st) return QSCLI_E_STATEMENT;
        GUARDED({
            BoundaryText boundary(st->text_utf8);
            return put_text(utf8_to_cp866_lossy(st->error.c_str()), static_cast<char*>(buf), size, length);
        })
    }
    Stmt* st;
    if (int rc = live_stmt(hstmt, &st)) return rc;
    switch (attr) {
    case QSCLI_STMT_SAB_TYPE: return put_fixed(static_cast<uint32_t>(st->sab_type), buf, size, length);
    case QSCLI_STMT_RC_TYPE: return put_fixed(static_cast<uint32_t>(st->rc_type), buf, size, length);
    case QSCLI_STMT_RC_SIZE: return put_fixed(static_cast<uint32_t>(st->rc_body.size()), buf, size, length);
    case QSCLI_STMT_RC_BODY: {
        size_t n = st->rc_body.size() < size ? st->rc_body.size() : size;
        if (n && !buf) return QSCLI_E_ARGUMENT;
        if (n) std::memcpy(buf, st->rc_body.data(), n);
        if (length) *length = static_cast<unsigned>(n);
        return 0;
    }
    case QSCLI_STMT_CHANGES: return put_fixed<int64_t>(st->changes, buf, size, length);
    case QSCLI_STMT_LAST_ROWID: return put_fixed<int64_t>(st->last_rowid, buf, size, length);
    case QSCLI_ATTR_SERVER_TYPES: {
        if (!st->results) return QSCLI_E_NO_RESULTS;
        const size_t n = st->types.size() * sizeof(int32_t);
        if (n > size || (n && !buf)) return QSCLI_E_ARGUMENT;
        if (n) std::memcpy(buf, st->types.data(), n);
        if (length) *length = static_cast<unsigned>(n);
        return 0;
    }
    case QSCLI_STMT_COL_NAMES: {
        if (!st->results) return QSCLI_E_NO_RESULTS;
        BoundaryText boundary(st->text_utf8);
        const std::string names = whole_names(*st);
        if (length) *length = static_cast<unsigned>(names.size());
        if (names.size() > size || !buf) return QSCLI_E_ARGUMENT;
        std::memcpy(buf, names.data(), names.size());
        return 0;
    }
    case QSCLI_STMT_EXECUTED: {
        if (size < sizeof(QscliExecuted) || !buf) return QSCLI_E_ARGUMENT;
        QscliExecuted e{};
        e.columns = st->ncols;
        e.rc_size = static_cast<uint32_t>(st->rc_body.size());
        e.rows = static_cast<qc_long>(st->row_count());
        e.open_rc = st->results ? 0 : QSCLI_E_NO_RESULTS;
        e.rec_size = !st->results || st->streamed.finished ? 0 : st->rec_size;
        // A stream whose source ended within its first batch holds it all.
        e.held = st->results && st->streamed.on && st->streamed.complete;
        std::memcpy(buf, &e, sizeof e);
        // The column records follow when the caller left room for them all.
        const size_t records = st->results ? st->desc.size() * sizeof(ColStruct_t) : 0;
        const bool along = records && size - sizeof e >= records;
        if (along) std::memcpy(static_cast<char*>(buf) + sizeof e, st->desc.data(), records);
        if (length) *length = static_cast<unsigned>(sizeof e + (along ? records : 0));
        return 0;
    }
    case QSCLI_STMT_DST_INFO: {
        if (!st->results) return QSCLI_E_NO_RESULTS;
        size_t fit = size / sizeof(ColStruct_t);
        if (fit > st->desc.size()) fit = st->desc.size();
        if (fit && !buf) return QSCLI_E_ARGUMENT;
        if (fit) std::memcpy(buf, st->desc.data(), fit * sizeof(ColStruct_t));
        if (length) *length = static_cast<unsigned>(fit * sizeof(ColStruct_t));
        return 0;
    }
    default: return QSCLI_E_ARGUMENT;
    }
}

QSCLI_EXPORT int QSCLI_CALL qcSqlNumResultCols(int hstmt, int* count) {
    Stmt* st;
    if (int rc = live_stmt(hstmt, &st)) return rc;
    if (!count) return QSCLI_E_ARGUMENT;
    *count = st->ncols;
    return 0;
}

QSCLI_EXPORT int QSCLI_CALL qcSqlRowCount(int hstmt, qc_long* count) {
    Stmt* st;
    if (int rc = live_stmt(hstmt, &st)) return rc;
    if (!count) return QSCLI_E_ARGUMENT;
    *count = static_cast<qc_long>(st->row_count());
    return 0;
}

QSCLI_EXPORT int QSCLI_CALL qcSqlOpenResults(int hstmt, unsigned int* rec_size) {
    Stmt* st;
    if (int rc = live_stmt(hstmt, &st)) return rc;
    if (!rec_size) return QSCLI_E_ARGUMENT;
    if (!st->results) return QSCLI_E_NO_RESULTS;
    *rec_size = st->streamed.finished ? 0 : st->rec_size;
    return 0;
}

QSCLI_EXPORT int QSCLI_CALL qcSqlReadResults(int hstmt, qc_long start, void* buf, unsigned int size,
                                             unsigned int* delivered) {
    if (delivered) *delivered = 0;
    Stmt* st;
    if (int rc = live_stmt(hstmt, &st)) return rc;
    if (!st->results) return QSCLI_E_NO_RESULTS;
    if (!delivered || start < 0) return QSCLI_E_ARGUMENT;
    if (st->streamed.on) {
        if (st->busy) return QSCLI_E_IN_USE;
        Conn* c = st->conn;
        // The batch at hand is read as a whole result is: only the next one
        // is a call on the connection (and so refused in a forked child).
        if (stream_holds(st, static_cast<uint64_t>(start))) {
            const int rc = stream_read(c, st, static_cast<uint64_t>(start), buf, size, delivered);
            if (rc) st->error = c->last_text();
            return rc;
        }
        if (int rc = enter(c, st)) return rc;
        GUARDED({
            BoundaryText boundary(c->text_utf8);
            const int rc = stream_read(c, st, static_cast<uint64_t>(start), buf, size, delivered);
            if (rc) st->error = c->last_text();
            return settle(c, rc);
        })
    }
    if (static_cast<uint64_t>(start) >= st->rows) return 0;
    // A buffer that cannot take one record would look like the end of the
    // result if answered with 0 bytes.
    if (!buf || size < st->rec_size) return QSCLI_E_ARGUMENT;
    int64_t got = st->records.read(static_cast<uint64_t>(start), buf, size);
    if (got < 0) return QSCLI_E_IO;
    *delivered = static_cast<unsigned>(got);
    return 0;
}

QSCLI_EXPORT int QSCLI_CALL qcSqlReadArrow(int hstmt, qc_long start, qc_long max_rows, unsigned int max_bytes,
                                           ArrowSchema* schema, ArrowArray* array, qc_long* rows) {
    if (rows) *rows = 0;
    if (array) array->release = nullptr;
    Stmt* st;
    if (int rc = live_stmt(hstmt, &st)) return rc;
    if (!st->results) return QSCLI_E_NO_RESULTS;
    if (start < 0 || (array && (!rows || max_rows < 1)) || (!array && !schema)) return QSCLI_E_ARGUMENT;
    if (st->busy) return QSCLI_E_IN_USE;
    Conn* c = st->conn;
    if (int rc = enter(c, st)) return rc;
    GUARDED({
        BoundaryText boundary(c->text_utf8);
        const int rc = stream_arrow(c, st, static_cast<uint64_t>(start), static_cast<uint64_t>(max_rows),
                                    max_bytes ? max_bytes : 1u << 30, schema, array, rows);
        if (rc < 0 && rc != QSCLI_E_UNSUPPORTED) st->error = c->last_text();
        return settle(c, rc);
    })
}

QSCLI_EXPORT int QSCLI_CALL qcSqlCloseResults(int hstmt) {
    Stmt* st = find_stmt(hstmt);
    if (!st) return QSCLI_E_STATEMENT;
    if (st->busy) return QSCLI_E_IN_USE;
    st->end_stream();
    st->results = false;
    st->records.clear();
    return 0;
}

QSCLI_EXPORT int QSCLI_CALL qcSqlFreeStmt(int hstmt) {
    GUARDED({
        Stmt* st = find_stmt(hstmt);
        if (!st) return QSCLI_E_STATEMENT;
        if (st->busy) return QSCLI_E_IN_USE;
        drop_stmt(hstmt);
        return 0;
    })
}

QSCLI_EXPORT int QSCLI_CALL qcSqlAddRecords(int hdb, char* table, qc_long count, unsigned int rec_size,
                                            void* records) {
    GUARDED({
        Conn* c = find_conn(hdb);
        if (!c || !c->backend) return QSCLI_E_CONNECTION;
        return load(c, [&] { return c->backend->add_records(table, count, rec_size, records); });
    })
}

QSCLI_EXPORT int QSCLI_CALL qcSqlAddArrow(int hdb, char* table, int fields, const int* layout, const int* columns,
                                          struct ArrowSchema* schema, struct ArrowArray** arrays, int batches) {
    GUARDED({
        Conn* c = find_conn(hdb);
        if (!c || !c->backend) return QSCLI_E_CONNECTION;
        if (!table || fields < 0 || (fields && (!layout || !columns)) || !schema || batches < 0 ||
            (batches && !arrays))
            return QSCLI_E_ARGUMENT;
        std::vector<const ArrowArray*> given(static_cast<size_t>(batches));
        int64_t rows = 0;
        for (int b = 0; b < batches; ++b) {
            const ArrowArray* a = arrays[b];
            if (!a || !a->release || a->length < 0 || a->n_children != schema->n_children) return QSCLI_E_ARGUMENT;
            given[static_cast<size_t>(b)] = a;
            rows += a->length;
        }
        if (rows > INT32_MAX) return QSCLI_E_ARGUMENT;
        std::vector<Backend::FieldShape> shape(static_cast<size_t>(fields));
        for (int k = 0; k < fields; ++k) {
            if (columns[k] < 0 || columns[k] >= schema->n_children) return QSCLI_E_ARGUMENT;
            shape[static_cast<size_t>(k)].type = layout[2 * k];
            shape[static_cast<size_t>(k)].len = static_cast<uint32_t>(layout[2 * k + 1]);
        }
        const auto n = static_cast<int32_t>(rows);
        return load(c, [&] { return c->backend->add_arrow(table, shape, columns, schema, given, n); });
    })
}

// On PostgreSQL the server's cancel request (PQcancel), on SQLite an
// interrupt of the running statement.
QSCLI_EXPORT int QSCLI_CALL qcSqlCancel(int hdb) {
    GUARDED({ return cancel_conn(hdb); })
}

// The lexical rules of the connection's SQL, so that the driver reads the
// quotes and comments of a statement as the engine will.
QSCLI_EXPORT int QSCLI_CALL qcSqlDialect(int hdb, int* dialect) {
    if (!dialect) return QSCLI_E_ARGUMENT;
    Conn* c = find_conn(hdb);
    if (!c || !c->backend) return QSCLI_E_CONNECTION;
    *dialect = c->backend->dialect();
    return 0;
}

// Asked between calls: the state a call left, never one running.
QSCLI_EXPORT int QSCLI_CALL qcSqlTransactionState(int hdb, int* state) {
    GUARDED({
        if (!state) return QSCLI_E_ARGUMENT;
        Conn* c = find_conn(hdb);
        if (!c || !c->backend) return QSCLI_E_CONNECTION;
        if (c->busy) return QSCLI_E_IN_USE;
        if (int rc = c->forked()) return rc;
        const int now = c->backend->transaction_state();
        if (now < 0) return QSCLI_E_IO;
        *state = now;
        return 0;
    })
}

// Connections share nothing unguarded, so calls on different ones may run
// at the same time.
QSCLI_EXPORT int QSCLI_CALL qcSqlConcurrency(int* level) {
    if (!level) return QSCLI_E_ARGUMENT;
    *level = 1;
    return 0;
}

QSCLI_EXPORT int QSCLI_CALL qcSqlPackDate(unsigned int day, unsigned int month, unsigned int year) {
    return static_cast<int>(date_pack(day, month, year));
}

QSCLI_EXPORT int QSCLI_CALL qcSqlUnpackDate(unsigned short packed, unsigned int* day,
                                            unsigned int* month, unsigned int* year) {
    return date_unpack(packed, day, month, year) ? 0 : QSCLI_E_ARGUMENT;
}

}  // extern "C"
