// A scriptable stand-in for the client library, used by the unit tests.
//
// It implements every entry point of qscli.h, records each call in a journal
// and answers from scripts that tests/qxdouble.py sets through the qxd_*
// functions below (called with ctypes). Nothing here talks to a server: a
// statement's result, return value and messages are whatever the test
// scripted before the statement was executed.
//
// Threads: callbacks are made on the calling thread, except for messages
// scripted with thread=1, which are delivered from a thread of their own that
// is joined only by qxd_join_threads() or qxd_reset(), and thread=2, delivered
// from a thread the call waits for (a library calling back from its own
// thread while the caller waits). Calls scripted to block (qxd_block) wait
// until qxd_unblock() or a qcSqlCancel of their connection. The double
// watches how many threads are inside it at once, and whether two threads
// were ever inside calls on one connection at the same time (a thread whose
// call waits for a delivering thread lends it the connection).
#define QSCLI_DEFINE_PROTOTYPES
#include "qscli.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <strings.h>
#include <thread>
#include <vector>

#define QXD_API extern "C" QSCLI_EXPORT

namespace {

// ---------------------------------------------------------------- state

struct Result {
    std::string columns;   // col_count x 128-byte column records
    std::string records;   // record bytes
    unsigned rec_size = 0;
    qc_long row_count = 0;
    int col_count = QSCLI_RES_NONE;
    bool scripted_reads = false;
    std::vector<int64_t> reads;  // bytes each successive read reports
    size_t next_read = 0;
    unsigned sab_type = 0;
    // A streamed result (QSCLI_ATTR_STREAM): the batches after this one, as
    // (columns, records, rec_size); `first` counts the records before it.
    struct Batch {
        std::string columns, records;
        unsigned rec_size;
    };
    std::vector<Batch> more;
    qc_long first = 0;
    bool finished = false;
};

struct RetVal {
    bool present = false;
    int type = QSCLI_RES_NONE;
    std::string body;
    unsigned size = 0;
};

struct Statement {
    int hdb = 0;
    Result result;
    RetVal retval;
};

struct Message {
    std::string text;
    std::string during;
    bool user = false;
    int user_type = 0;
    bool scripted_chunks = false;
    std::vector<int64_t> chunks;
    int thread = 0;  // 1: a thread of its own; 2: one the call waits for
    // reading position
    size_t pos = 0;
    size_t next_chunk = 0;
};

struct Failure {
    int rc = 0;
    int64_t times = -1;  // -1: every call
    int64_t skip = 0;    // calls let through before the failures begin
};

std::mutex g_lock;  // guards everything below; never held across a callback
std::string g_journal;
bool g_bulk_journal = true;
int g_next_hdb = 1;
int g_next_stmt = 101;
std::map<int, Statement> g_statements;
std::map<std::string, Failure> g_failures;
std::map<unsigned, std::string> g_attr_text;
// The optional capabilities (qscli.h) the double offers, by attribute, and
// what the 64-bit ones read; none by default, as the vendor's library.
std::map<unsigned, int64_t> g_offered;
bool g_have_result = false;
Result g_pending_result;
RetVal g_pending_retval;
std::vector<Message> g_messages;
std::map<int, qcSqlCbkSrvMsgT> g_srv_callbacks;
std::map<int, qcSqlCbkSrvUserSendT> g_user_callbacks;
int g_last_srv_hdb = 0, g_last_user_hdb = 0;
std::vector<std::thread> g_threads;
// Handle bookkeeping: issued and not yet released (a release the script made
// fail releases nothing), released, and the calls that named a released one.
std::set<int> g_live_conns, g_live_stmts, g_freed_conns, g_freed_stmts;
std::vector<std::string> g_stale;

thread_local Message* t_current_message = nullptr;  // the one being delivered

int g_concurrency = 0;  // what qcSqlConcurrency answers
int g_dialect = QSCLI_DIALECT_ENGINE;  // what qcSqlDialect answers; -1: QSCLI_E_UNSUPPORTED
// What qcSqlTransactionState answers; -1: QSCLI_E_UNSUPPORTED, as a library
// without it (the default).
int g_tx_state = -1;
// Blocking: calls of these names wait (count each; -1: every call).
std::map<std::string, int64_t> g_blocks;
struct Blocked {
    int hdb;
    const char* name;
    bool cancelled = false;
    bool released = false;
};
std::vector<Blocked*> g_blocked;  // calls waiting now
std::condition_variable g_wake;

// Lets the blocked calls of `name` (every one for null) go on; g_lock held.
void release_blocked(const char* name = nullptr) {
    for (auto it = g_blocked.begin(); it != g_blocked.end();) {
        if (!name || std::strcmp((*it)->name, name) == 0) {
            (*it)->released = true;
            it = g_blocked.erase(it);
        } else {
            ++it;
        }
    }
    g_wake.notify_all();
}
// Threads inside a call now (depth), and those lending their connection to
// a delivering thread; the connections they are in.
struct Inside {
    int depth = 0;
    bool lending = false;
    std::vector<int> hdbs;
};
std::map<std::thread::id, Inside> g_inside;
int g_max_threads = 0;  // most threads inside calls at once
int g_overlaps = 0;     // times a thread entered a connection another was in

// ---------------------------------------------------------------- journal

// One journal entry, serialised as qxdouble.py reads it:
//   u8 name length, name, u8 argument count, then per argument
//   'i' int64 | 'n' | 'b' u32 length, bytes       (all little-endian)
class Call {
public:
    explicit Call(const char* name) : name_(name) {
        put_u8(static_cast<uint8_t>(std::strlen(name)));
        buf_ += name;
        buf_ += '\0';  // argument count, patched as arguments come
    }
    Call& i(int64_t v) {
        buf_ += 'i';
        put_raw(&v, 8);
        return counted();
    }
    Call& none() {
        buf_ += 'n';
        return counted();
    }
    Call& bytes(const void* p, size_t n) {
        buf_ += 'b';
        uint32_t len = static_cast<uint32_t>(n);
        put_raw(&len, 4);
        buf_.append(static_cast<const char*>(p), n);
        return counted();
    }
    Call& str(const char* s) { return s ? bytes(s, std::strlen(s)) : none(); }
    template <class T>
    Call& in(const T* p) {  // an input pointer: the value it points to
        return p ? i(static_cast<int64_t>(*p)) : none();
    }
    Call& out() { return none(); }  // an out-parameter, only written
    // A handle argument, journalled as an int and checked against the
    // handles already released.
    Call& conn(int h) {
        conns_.push_back(h);
        return i(h);
    }
    Call& conn_in(const int* p) {
        if (p) conns_.push_back(*p);
        return in(p);
    }
    Call& stmt(int h) {
        stmts_.push_back(h);
        return i(h);
    }

    // Journals the call, delivers the messages scripted for it, blocks when
    // scripted to and applies a scripted failure. True when the entry point
    // must return *rc at once.
    bool enter(int hdb, int* rc);
    ~Call() {
        if (!counted_) return;
        std::lock_guard<std::mutex> lock(g_lock);
        auto it = g_inside.find(std::this_thread::get_id());
        if (it == g_inside.end()) return;
        it->second.hdbs.pop_back();
        if (--it->second.depth == 0) g_inside.erase(it);
    }

private:
    void put_u8(uint8_t v) { buf_ += static_cast<char>(v); }
    void put_raw(const void* p, size_t n) { buf_.append(static_cast<const char*>(p), n); }
    Call& counted() {
        buf_[1 + std::strlen(name_)] = static_cast<char>(++argc_);
        return *this;
    }

    const char* name_;
    std::string buf_;
    uint8_t argc_ = 0;
    std::vector<int> conns_, stmts_;
    bool counted_ = false;
};

// Notes this thread inside a call on `hdb` (0: none); g_lock held.
void note_inside(int hdb) {
    const auto me = std::this_thread::get_id();
    Inside& mine = g_inside[me];
    if (mine.depth == 0) {
        int active = 1;
        for (const auto& [id, other] : g_inside) {
            if (id == me || other.lending) continue;
            ++active;
            if (hdb && std::find(other.hdbs.begin(), other.hdbs.end(), hdb) != other.hdbs.end())
                ++g_overlaps;
        }
        g_max_threads = std::max(g_max_threads, active);
    }
    ++mine.depth;
    mine.hdbs.push_back(hdb);
}

// Waits while the call is scripted to block: 0 when released, or
// QSCLI_E_INTERRUPTED when its connection was cancelled.
int block_if_scripted(const char* name, int hdb) {
    std::unique_lock<std::mutex> lock(g_lock);
    auto b = g_blocks.find(name);
    if (b == g_blocks.end()) return 0;
    if (b->second > 0 && --b->second == 0) g_blocks.erase(b);
    Blocked me{hdb, name};
    g_blocked.push_back(&me);
    g_wake.notify_all();
    g_wake.wait(lock, [&] { return me.cancelled || me.released; });
    auto it = std::find(g_blocked.begin(), g_blocked.end(), &me);
    if (it != g_blocked.end()) g_blocked.erase(it);
    return me.cancelled ? QSCLI_E_INTERRUPTED : 0;
}

// ---------------------------------------------------------------- messages

void deliver(Message msg, int hdb);

bool Call::enter(int hdb, int* rc) {
    std::vector<Message> due;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        // A cancel comes from another thread by design.
        if (std::strcmp(name_, "qcSqlCancel") != 0) {
            note_inside(hdb);
            counted_ = true;
        }
        // Asked at every load of the library (the dialect at every log-on):
        // left out, so journals show
        // the work the tests look at.
        if (std::strcmp(name_, "qcSqlConcurrency") != 0 && std::strcmp(name_, "qcSqlDialect") != 0)
            g_journal += buf_;
        for (int h : conns_)
            if (g_freed_conns.count(h)) g_stale.push_back(name_);
        for (int h : stmts_)
            if (g_freed_stmts.count(h)) g_stale.push_back(name_);
        for (auto it = g_messages.begin(); it != g_messages.end();) {
            if (it->during == name_) {
                due.push_back(std::move(*it));
                it = g_messages.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Message& msg : due) deliver(std::move(msg), hdb);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto f = g_failures.find(name_);
        if (f != g_failures.end() && f->second.skip > 0) {
            --f->second.skip;
        } else if (f != g_failures.end()) {
            *rc = f->second.rc;
            if (f->second.times > 0 && --f->second.times == 0) g_failures.erase(f);
            return true;
        }
    }
    // A call that fails does so at once; one that works may be held up.
    *rc = block_if_scripted(name_, hdb);
    return *rc != 0;
}

int stmt_connection(int hstmt) {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_statements.find(hstmt);
    return it == g_statements.end() ? 0 : it->second.hdb;
}

template <class Fn>
void run_callback(Message* msg, Fn fn, int hdb) {
    Message* outer = t_current_message;
    t_current_message = msg;
    fn(hdb, msg->user ? msg->user_type : 0);
    t_current_message = outer;
}

// The connection's own callback of the message's kind; failing that, the one
// registered last on any connection. A message nobody listens to is dropped.
void deliver(Message msg, int hdb) {
    std::unique_lock<std::mutex> lock(g_lock);
    void* fn = nullptr;
    if (msg.user) {
        auto it = g_user_callbacks.find(hdb);
        if (it == g_user_callbacks.end()) it = g_user_callbacks.find(hdb = g_last_user_hdb);
        if (it != g_user_callbacks.end()) fn = reinterpret_cast<void*>(it->second);
    } else {
        auto it = g_srv_callbacks.find(hdb);
        if (it == g_srv_callbacks.end()) it = g_srv_callbacks.find(hdb = g_last_srv_hdb);
        if (it != g_srv_callbacks.end()) fn = reinterpret_cast<void*>(it->second);
    }
    if (!fn) return;

    auto run = [fn, hdb](Message m) {
        if (m.user)
            run_callback(&m, reinterpret_cast<qcSqlCbkSrvUserSendT>(fn), hdb);
        else
            run_callback(&m, reinterpret_cast<qcSqlCbkSrvMsgT>(fn), hdb);
    };
    if (msg.thread == 1) {
        g_threads.emplace_back(run, std::move(msg));
        return;
    }
    if (msg.thread == 2) {
        // The caller waits for the library's own thread: meanwhile that
        // thread may make calls on the caller's connection.
        Inside& mine = g_inside[std::this_thread::get_id()];
        const bool was = mine.lending;
        mine.lending = true;
        lock.unlock();
        std::thread(run, std::move(msg)).join();
        lock.lock();
        g_inside[std::this_thread::get_id()].lending = was;
        return;
    }
    lock.unlock();
    run(std::move(msg));
}

// Copies up to n bytes of src starting at pos into dst, zero-filling what
// lies past the end of src.
void copy_from(char* dst, const std::string& src, size_t pos, size_t n) {
    size_t have = pos < src.size() ? std::min(n, src.size() - pos) : 0;
    if (have) std::memcpy(dst, src.data() + pos, have);
    if (n > have) std::memset(dst + have, 0, n - have);
}

void write_int(void* buf, unsigned size, unsigned* length, int32_t value) {
    unsigned n = buf ? std::min(size, 4u) : 0;
    if (n) std::memcpy(buf, &value, n);
    if (length) *length = n;
}

// Joins until none is left: a callback may itself make a call that starts
// another delivery.
void join_threads() {
    for (;;) {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(g_lock);
            threads.swap(g_threads);
        }
        if (threads.empty()) return;
        for (std::thread& t : threads) t.join();
    }
}

// Days from 31 December 1899: 1 January 1900 is 1. Valid for any date of
// the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 693900;  // day 0 is 1899-12-31
}

void civil_from_days(int64_t z, unsigned* d, unsigned* m, unsigned* y) {
    z += 693900;  // to days from 0000-03-01
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<unsigned>(static_cast<int64_t>(yoe) + era * 400 + (*m <= 2));
}

bool valid_date(unsigned d, unsigned m, unsigned y) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= days[m - 1] + (m == 2 && leap);
}

}  // namespace

// ================================================================ entry points

extern "C" {

int QSCLI_CALL qcSqlInit(int flags) {
    int rc;
    if (Call("qcSqlInit").i(flags).enter(0, &rc)) return rc;
    return 0;
}

int QSCLI_CALL qcSqlDone(void) {
    int rc;
    if (Call("qcSqlDone").enter(0, &rc)) return rc;
    return 0;
}

int QSCLI_CALL qcSqlAllocConnect(int* hdb) {
    int rc;
    if (Call("qcSqlAllocConnect").out().enter(0, &rc)) return rc;
    std::lock_guard<std::mutex> lock(g_lock);
    g_live_conns.insert(g_next_hdb);
    if (hdb) *hdb = g_next_hdb;
    ++g_next_hdb;
    return 0;
}

int QSCLI_CALL qcSqlDisconnect(int* hdb) {
    int rc;
    if (Call("qcSqlDisconnect").conn_in(hdb).enter(hdb ? *hdb : 0, &rc)) return rc;
    return 0;
}

int QSCLI_CALL qcSqlFreeConnect(int* hdb) {
    int rc;
    if (Call("qcSqlFreeConnect").conn_in(hdb).enter(hdb ? *hdb : 0, &rc)) return rc;
    if (hdb) {
        std::lock_guard<std::mutex> lock(g_lock);
        g_srv_callbacks.erase(*hdb);
        g_user_callbacks.erase(*hdb);
        if (g_live_conns.erase(*hdb)) g_freed_conns.insert(*hdb);
    }
    return 0;
}

int QSCLI_CALL qcSqlConnect(int hdb, char* server, char* user, char* passwd) {
    int rc;
    if (Call("qcSqlConnect").conn(hdb).str(server).str(user).str(passwd).enter(hdb, &rc)) return rc;
    return 0;
}

int QSCLI_CALL qcSqlGetConnectAttr(int hdb, unsigned int attr, int zero, char* buf,
                                   unsigned int size, unsigned int* length) {
    int rc;
    if (Call("qcSqlGetConnectAttr").conn(hdb).i(attr).i(zero).i(size).i(size).out().enter(hdb, &rc))
        return rc;
    std::lock_guard<std::mutex> lock(g_lock);
    if (attr == QSCLI_CONN_ERR_TEXT && !g_offered.count(attr)) return -95;
    const std::string& text = g_attr_text[attr];
    unsigned n = 0;
    if (buf && size) {
        n = static_cast<unsigned>(std::min<size_t>(text.size(), size - 1));
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    if (length) *length = n;
    return 0;
}

int QSCLI_CALL qcSqlSetConnectAttr(int hdb, unsigned int attr, void* value, unsigned int zero) {
    int rc;
    Call call("qcSqlSetConnectAttr");
    call.conn(hdb).i(attr);
    if (value)
        call.i(static_cast<int64_t>(reinterpret_cast<intptr_t>(value)));
    else
        call.none();
    if (call.i(zero).enter(hdb, &rc)) return rc;
    std::lock_guard<std::mutex> lock(g_lock);
    if ((attr == QSCLI_ATTR_NULL_FLAGS || attr == QSCLI_ATTR_INT64 || attr == QSCLI_ATTR_MSG_UTF8 ||
         attr == QSCLI_ATTR_TEXT_UTF8) &&
        !g_offered.count(attr))
        return -95;
    if (attr == QSCLI_ATTR_CBK_SRVMSG) {
        if (value) {
            g_srv_callbacks[hdb] = reinterpret_cast<qcSqlCbkSrvMsgT>(value);
            g_last_srv_hdb = hdb;
        } else {
            g_srv_callbacks.erase(hdb);
        }
    } else if (attr == QSCLI_ATTR_CBK_SRVUSERSEND) {
        if (value) {
            g_user_callbacks[hdb] = reinterpret_cast<qcSqlCbkSrvUserSendT>(value);
            g_last_user_hdb = hdb;
        } else {
            g_user_callbacks.erase(hdb);
        }
    }
    return 0;
}

int QSCLI_CALL qcSqlAllocStmt(int hdb, int* hstmt) {
    int rc;
    if (Call("qcSqlAllocStmt").conn(hdb).out().enter(hdb, &rc)) return rc;
    std::lock_guard<std::mutex> lock(g_lock);
    int h = g_next_stmt++;
    g_statements[h].hdb = hdb;
    g_live_stmts.insert(h);
    if (hstmt) *hstmt = h;
    return 0;
}

int QSCLI_CALL qcSqlSetStmtAttr(int hstmt, unsigned int attr, void* value, unsigned int size) {
    int rc;
    Call call("qcSqlSetStmtAttr");
    // The null flags' and 64-bit integers' value is the setting itself, not
    // a pointer to it.
    if (attr == QSCLI_ATTR_NULL_FLAGS || attr == QSCLI_ATTR_INT64 || attr == QSCLI_ATTR_STREAM ||
        attr == QSCLI_ATTR_SERVER_TYPES)
        call.stmt(hstmt).i(attr).i(static_cast<int64_t>(reinterpret_cast<intptr_t>(value))).i(size);
    else
        call.stmt(hstmt).i(attr).in(static_cast<const int32_t*>(value)).i(size);
    if (call.enter(stmt_connection(hstmt), &rc)) return rc;
    std::lock_guard<std::mutex> lock(g_lock);
    if (attr == QSCLI_ATTR_NULL_FLAGS) {
        // Offered with value 2 it also takes setting 2 (ARRA lengths).
        auto offer = g_offered.find(attr);
        if (offer == g_offered.end() || reinterpret_cast<intptr_t>(value) > std::max<int64_t>(1, offer->second))
            return -95;
    }
    if ((attr == QSCLI_ATTR_INT64 || attr == QSCLI_ATTR_STREAM || attr == QSCLI_ATTR_SERVER_TYPES) &&
        !g_offered.count(attr))
        return -95;
    return 0;
}

// A scripted transaction state follows the statements that went through:
// BEGIN opens, COMMIT and ROLLBACK end (a failed call changes nothing).
// g_lock held.
void follow_transaction(const char* sql) {
    if (g_tx_state < 0 || !sql) return;
    auto starts = [&](const char* word) { return strncasecmp(sql, word, std::strlen(word)) == 0; };
    if (starts("begin"))
        g_tx_state = QSCLI_TX_OPEN;
    else if (starts("commit") || starts("rollback"))
        g_tx_state = QSCLI_TX_IDLE;
}

int QSCLI_CALL qcSqlExecDirect(int hstmt, const char* sql) {
    int rc;
    if (Call("qcSqlExecDirect").stmt(hstmt).str(sql).enter(stmt_connection(hstmt), &rc)) return rc;
    // The scripted result and return value belong to this statement now;
    // without a script the statement has no result set and no return value.
    std::lock_guard<std::mutex> lock(g_lock);
    follow_transaction(sql);
    Statement& st = g_statements[hstmt];
    st.result = g_have_result ? std::move(g_pending_result) : Result();
    st.retval = std::move(g_pending_retval);
    g_have_result = false;
    g_pending_result = Result();
    g_pending_retval = RetVal();
    return 0;
}

int QSCLI_CALL qcSqlExecDirectAsync(void) {
    int rc;
    if (Call("qcSqlExecDirectAsync").enter(0, &rc)) return rc;
    return 0;
}

int QSCLI_CALL qcSqlExecDirectQuery(void) {
    int rc;
    if (Call("qcSqlExecDirectQuery").enter(0, &rc)) return rc;
    return 0;
}

int QSCLI_CALL qcSqlConnReadMsg(int hdb, void* buf, unsigned int size, unsigned int* length) {
    int rc;
    if (Call("qcSqlConnReadMsg").conn(hdb).i(size).i(size).out().enter(hdb, &rc)) return rc;
    Message* msg = t_current_message;
    int64_t reported = 0;
    if (msg) {
        size_t left = msg->pos < msg->text.size() ? msg->text.size() - msg->pos : 0;
        size_t n;
        if (msg->scripted_chunks) {
            // A scripted count is reported as it stands, even past the buffer;
            // only the buffer's size is ever written.
            reported = msg->next_chunk < msg->chunks.size() ? msg->chunks[msg->next_chunk++] : 0;
            n = reported > 0 ? std::min<size_t>(static_cast<size_t>(reported), size) : 0;
        } else {
            n = std::min<size_t>(left, size);
            reported = static_cast<int64_t>(n);
        }
        if (buf && n) copy_from(static_cast<char*>(buf), msg->text, msg->pos, n);
        msg->pos += n;
    }
    if (length) *length = static_cast<unsigned>(reported);
    return 0;
}

int QSCLI_CALL qcSqlGetStmtAttr(int hstmt, unsigned int attr, int zero, void* buf,
                                unsigned int size, unsigned int* length) {
    int rc;
    if (Call("qcSqlGetStmtAttr").stmt(hstmt).i(attr).i(zero).i(size).i(size).out()
            .enter(stmt_connection(hstmt), &rc))
        return rc;
    std::lock_guard<std::mutex> lock(g_lock);
    const Statement& st = g_statements[hstmt];
    switch (attr) {
        case QSCLI_STMT_SAB_TYPE:
            write_int(buf, size, length, static_cast<int32_t>(st.result.sab_type));
            break;
        case QSCLI_STMT_RC_SIZE:
            write_int(buf, size, length, static_cast<int32_t>(st.retval.present ? st.retval.size : 0));
            break;
        case QSCLI_STMT_RC_TYPE:
            write_int(buf, size, length, st.retval.present ? st.retval.type : QSCLI_RES_NONE);
            break;
        case QSCLI_STMT_RC_BODY:
        case QSCLI_STMT_DST_INFO: {
            // Copied cut to the buffer; the rest of the buffer is zeroed so a
            // short answer never leaves stale bytes behind.
            const std::string& src = attr == QSCLI_STMT_DST_INFO ? st.result.columns : st.retval.body;
            if (buf && size) copy_from(static_cast<char*>(buf), src, 0, size);
            if (length) *length = buf ? static_cast<unsigned>(std::min<size_t>(src.size(), size)) : 0;
            break;
        }
        case QSCLI_STMT_ERR_TEXT: {
            if (!g_offered.count(attr)) return -95;
            const std::string& text = g_attr_text[attr];
            unsigned n = 0;
            if (buf && size) {
                n = static_cast<unsigned>(std::min<size_t>(text.size(), size - 1));
                std::memcpy(buf, text.data(), n);
                static_cast<char*>(buf)[n] = '\0';
            }
            if (length) *length = n;
            break;
        }
        case QSCLI_STMT_COL_NAMES: return -95;  // whole names: a capability the double lacks
        case QSCLI_STMT_CHANGES:
        case QSCLI_STMT_LAST_ROWID: {
            if (!g_offered.count(attr)) return -95;
            const int64_t value = g_offered[attr];
            unsigned n = buf ? std::min(size, 8u) : 0;
            if (n) std::memcpy(buf, &value, n);
            if (length) *length = n;
            break;
        }
        default:
            if (length) *length = 0;
            break;
    }
    return 0;
}

int QSCLI_CALL qcSqlNumResultCols(int hstmt, int* count) {
    int rc;
    if (Call("qcSqlNumResultCols").stmt(hstmt).out().enter(stmt_connection(hstmt), &rc)) return rc;
    std::lock_guard<std::mutex> lock(g_lock);
    if (count) *count = g_statements[hstmt].result.col_count;
    return 0;
}

int QSCLI_CALL qcSqlRowCount(int hstmt, qc_long* count) {
    int rc;
    if (Call("qcSqlRowCount").stmt(hstmt).out().enter(stmt_connection(hstmt), &rc)) return rc;
    std::lock_guard<std::mutex> lock(g_lock);
    if (count) *count = g_statements[hstmt].result.row_count;
    return 0;
}

int QSCLI_CALL qcSqlOpenResults(int hstmt, unsigned int* rec_size) {
    int rc;
    if (Call("qcSqlOpenResults").stmt(hstmt).out().enter(stmt_connection(hstmt), &rc)) return rc;
    std::lock_guard<std::mutex> lock(g_lock);
    const Result& res = g_statements[hstmt].result;
    if (rec_size) *rec_size = res.finished ? 0 : res.rec_size;
    return 0;
}

int QSCLI_CALL qcSqlReadResults(int hstmt, qc_long start, void* buf, unsigned int size,
                                unsigned int* delivered) {
    int rc;
    if (Call("qcSqlReadResults").stmt(hstmt).i(start).i(size).i(size).out()
            .enter(stmt_connection(hstmt), &rc))
        return rc;
    std::lock_guard<std::mutex> lock(g_lock);
    Result& res = g_statements[hstmt].result;
    const size_t rec = res.rec_size;
    if (res.row_count < 0 && rec && start == res.first + static_cast<qc_long>(res.records.size() / rec)) {
        // The end of a streamed batch: the next one, or the end and its count.
        if (delivered) *delivered = 0;
        if (res.more.empty()) {
            res.finished = true;
            res.row_count = start;
            return 0;
        }
        res.first = start;
        res.columns = std::move(res.more.front().columns);
        res.records = std::move(res.more.front().records);
        res.rec_size = res.more.front().rec_size;
        res.more.erase(res.more.begin());
        return 0;
    }
    if (start >= 0) start -= res.first;
    const size_t from = start > 0 ? static_cast<size_t>(start) * rec : 0;
    int64_t reported;
    size_t n;
    if (res.scripted_reads) {
        // Scripted counts are reported as they stand, whole records or not,
        // even past the buffer; only the buffer's size is ever written.
        reported = res.next_read < res.reads.size() ? res.reads[res.next_read++] : 0;
        n = reported > 0 ? std::min<size_t>(static_cast<size_t>(reported), size) : 0;
    } else {
        size_t left = start >= 0 && from < res.records.size() ? res.records.size() - from : 0;
        n = rec ? std::min<size_t>(left / rec, size / rec) * rec : 0;
        reported = static_cast<int64_t>(n);
    }
    if (buf && n) copy_from(static_cast<char*>(buf), res.records, from, n);
    if (delivered) *delivered = static_cast<unsigned>(reported);
    return 0;
}

int QSCLI_CALL qcSqlCloseResults(int hstmt) {
    int rc;
    if (Call("qcSqlCloseResults").stmt(hstmt).enter(stmt_connection(hstmt), &rc)) return rc;
    return 0;
}

int QSCLI_CALL qcSqlFreeStmt(int hstmt) {
    int rc;
    if (Call("qcSqlFreeStmt").stmt(hstmt).enter(stmt_connection(hstmt), &rc)) return rc;
    std::lock_guard<std::mutex> lock(g_lock);
    g_statements.erase(hstmt);
    if (g_live_stmts.erase(hstmt)) g_freed_stmts.insert(hstmt);
    return 0;
}

int QSCLI_CALL qcSqlAddRecords(int hdb, char* table, qc_long count, unsigned int rec_size,
                               void* records) {
    int rc;
    Call call("qcSqlAddRecords");
    call.conn(hdb).str(table).i(count).i(rec_size);
    bool keep;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        keep = g_bulk_journal;
    }
    const uint64_t total = count > 0 ? static_cast<uint64_t>(count) * rec_size : 0;
    if (!keep || !records || total > UINT32_MAX)
        call.none();
    else
        call.bytes(records, static_cast<size_t>(total));
    if (call.enter(hdb, &rc)) return rc;
    return 0;
}

int QSCLI_CALL qcSqlCancel(int hdb) {
    int rc;
    if (Call("qcSqlCancel").conn(hdb).enter(0, &rc)) return rc;
    std::lock_guard<std::mutex> lock(g_lock);
    for (auto it = g_blocked.begin(); it != g_blocked.end();) {
        if ((*it)->hdb == hdb) {
            (*it)->cancelled = true;
            it = g_blocked.erase(it);
        } else {
            ++it;
        }
    }
    g_wake.notify_all();
    return 0;
}

int QSCLI_CALL qcSqlConcurrency(int* level) {
    int rc;
    if (Call("qcSqlConcurrency").out().enter(0, &rc)) return rc;
    std::lock_guard<std::mutex> lock(g_lock);
    if (level) *level = g_concurrency;
    return 0;
}

int QSCLI_CALL qcSqlDialect(int hdb, int* dialect) {
    int rc;
    if (Call("qcSqlDialect").conn(hdb).out().enter(hdb, &rc)) return rc;
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_dialect < 0) return QSCLI_E_UNSUPPORTED;
    if (dialect) *dialect = g_dialect;
    return 0;
}

// A question about the connection, not work on it: left out of the
// journal, so journals show the work the tests look at.
int QSCLI_CALL qcSqlTransactionState(int hdb, int* state) {
    (void)hdb;
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_tx_state < 0) return QSCLI_E_UNSUPPORTED;
    if (state) *state = g_tx_state;
    return 0;
}

// Plays a library that runs no statement once per record: the driver then
// executes each row's text itself, which the journal shows.
int QSCLI_CALL qcSqlExecRecords(int hstmt, const char*, int, const int*, qc_long, unsigned int, void*,
                                qc_long* done, int64_t* changes) {
    int rc;
    if (Call("qcSqlExecRecords").stmt(hstmt).enter(0, &rc)) return rc;
    if (done) *done = 0;
    if (changes) *changes = 0;
    return QSCLI_E_UNSUPPORTED;
}

int QSCLI_CALL qcSqlPackDate(unsigned int day, unsigned int month, unsigned int year) {
    int rc;
    if (Call("qcSqlPackDate").i(day).i(month).i(year).enter(0, &rc)) return rc;
    if (!valid_date(day, month, year)) return 0;
    return static_cast<int>(days_from_civil(year, month, day));
}

int QSCLI_CALL qcSqlUnpackDate(unsigned short packed, unsigned int* day, unsigned int* month,
                               unsigned int* year) {
    int rc;
    if (Call("qcSqlUnpackDate").i(packed).out().out().out().enter(0, &rc)) return rc;
    unsigned d = 0, m = 0, y = 0;
    if (packed) civil_from_days(packed, &d, &m, &y);
    if (day) *day = d;
    if (month) *month = m;
    if (year) *year = y;
    return 0;
}

}  // extern "C"

// ================================================================ scripting

QXD_API void qxd_join_threads() { join_threads(); }

QXD_API void qxd_reset() {
    join_threads();
    std::lock_guard<std::mutex> lock(g_lock);
    g_concurrency = 0;
    g_dialect = QSCLI_DIALECT_ENGINE;
    g_tx_state = -1;
    g_blocks.clear();
    release_blocked();
    g_max_threads = 0;
    g_overlaps = 0;
    g_journal.clear();
    g_journal.shrink_to_fit();
    g_bulk_journal = true;
    g_next_hdb = 1;
    g_next_stmt = 101;
    g_statements.clear();
    g_failures.clear();
    g_attr_text.clear();
    g_offered.clear();
    g_have_result = false;
    g_pending_result = Result();
    g_pending_retval = RetVal();
    g_messages.clear();
    g_srv_callbacks.clear();
    g_user_callbacks.clear();
    g_last_srv_hdb = g_last_user_hdb = 0;
    g_live_conns.clear();
    g_live_stmts.clear();
    g_freed_conns.clear();
    g_freed_stmts.clear();
    g_stale.clear();
}

QXD_API void qxd_clear() {
    std::lock_guard<std::mutex> lock(g_lock);
    g_journal.clear();
}

// The journal's bytes: the size first, then a copy into a buffer that large
// (a delivering thread may still append in between; the copy stops at n).
QXD_API size_t qxd_journal_size() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_journal.size();
}

QXD_API size_t qxd_journal_copy(char* out, size_t n) {
    std::lock_guard<std::mutex> lock(g_lock);
    n = std::min(n, g_journal.size());
    std::memcpy(out, g_journal.data(), n);
    return n;
}

QXD_API void qxd_fail(const char* name, int rc, int64_t times) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (rc == 0 || times == 0)
        g_failures.erase(name);
    else
        g_failures[name] = Failure{rc, times < 0 ? -1 : times};
}

// As qxd_fail, after letting the next `skip` calls of `name` through.
QXD_API void qxd_fail_after(const char* name, int rc, int64_t skip, int64_t times) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (rc == 0 || times == 0)
        g_failures.erase(name);
    else
        g_failures[name] = Failure{rc, times < 0 ? -1 : times, skip < 0 ? 0 : skip};
}

// The handles issued and not released: connections (kind 0) or statements
// (kind 1), ascending. Returns how many there are; copies at most `cap`.
QXD_API size_t qxd_live_handles(int kind, int* out, size_t cap) {
    std::lock_guard<std::mutex> lock(g_lock);
    const std::set<int>& live = kind ? g_live_stmts : g_live_conns;
    size_t n = 0;
    for (int h : live) {
        if (n < cap) out[n] = h;
        ++n;
    }
    return n;
}

// The entry points that were handed a handle already released, in call
// order, separated by blanks; the length of the whole text is returned and
// at most `cap` bytes of it copied.
QXD_API size_t qxd_stale_calls(char* out, size_t cap) {
    std::lock_guard<std::mutex> lock(g_lock);
    std::string text;
    for (const std::string& name : g_stale) {
        if (!text.empty()) text += ' ';
        text += name;
    }
    if (cap) std::memcpy(out, text.data(), std::min(cap, text.size()));
    return text.size();
}

QXD_API void qxd_set_attr_text(unsigned attr, const char* data, size_t n) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_attr_text[attr].assign(data, n);
}

// Offers (on) or withdraws an optional capability; `value` is what a 64-bit
// statement attribute reads.
QXD_API void qxd_offer(unsigned attr, int on, int64_t value) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (on)
        g_offered[attr] = value;
    else
        g_offered.erase(attr);
}

QXD_API void qxd_set_result(const char* columns, size_t columns_len, const char* records,
                            size_t records_len, unsigned rec_size, int32_t row_count,
                            int32_t col_count, const int64_t* reads, int64_t nreads,
                            unsigned sab_type) {
    std::lock_guard<std::mutex> lock(g_lock);
    Result r;
    r.columns.assign(columns, columns_len);
    r.records.assign(records, records_len);
    r.rec_size = rec_size;
    r.row_count = row_count;
    r.col_count = col_count;
    r.scripted_reads = nreads >= 0;
    if (nreads > 0) r.reads.assign(reads, reads + nreads);
    r.sab_type = sab_type;
    g_pending_result = std::move(r);
    g_have_result = true;
}

// A further batch of the pending streamed result (its row count -1).
QXD_API void qxd_add_batch(const char* columns, size_t columns_len, const char* records, size_t records_len,
                           unsigned rec_size) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_pending_result.more.push_back(
        Result::Batch{std::string(columns, columns_len), std::string(records, records_len), rec_size});
}

QXD_API void qxd_set_retval(int type, const char* body, size_t n, unsigned size) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_pending_retval.present = true;
    g_pending_retval.type = type;
    g_pending_retval.body.assign(body, n);
    g_pending_retval.size = size;
}

QXD_API void qxd_add_message(const char* text, size_t n, const char* during, int user,
                             int user_type, const int64_t* chunks, int64_t nchunks, int thread) {
    std::lock_guard<std::mutex> lock(g_lock);
    Message m;
    m.text.assign(text, n);
    m.during = during;
    m.user = user != 0;
    m.user_type = user_type;
    m.scripted_chunks = nchunks >= 0;
    if (nchunks > 0) m.chunks.assign(chunks, chunks + nchunks);
    m.thread = thread;
    g_messages.push_back(std::move(m));
}

QXD_API void qxd_set_bulk_journal(int on) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_bulk_journal = on != 0;
}

QXD_API void qxd_set_concurrency(int level) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_concurrency = level;
}

// What qcSqlDialect / qcSqlTransactionState answer; -1: unsupported.
QXD_API void qxd_set_dialect(int dialect) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_dialect = dialect;
}

QXD_API void qxd_set_tx_state(int state) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_tx_state = state;
}

// The next `times` calls of `name` (every one for -1, none for 0) block.
QXD_API void qxd_block(const char* name, int64_t times) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (times == 0)
        g_blocks.erase(name);
    else
        g_blocks[name] = times;
}

// Waits up to `ms` milliseconds until at least `n` calls are blocked; returns
// how many are.
QXD_API int qxd_wait_blocked(int n, int ms) {
    std::unique_lock<std::mutex> lock(g_lock);
    g_wake.wait_for(lock, std::chrono::milliseconds(ms),
                    [&] { return static_cast<int>(g_blocked.size()) >= n; });
    return static_cast<int>(g_blocked.size());
}

// Lets the blocked calls of `name` (every one for null) go on.
QXD_API void qxd_unblock(const char* name) {
    std::lock_guard<std::mutex> lock(g_lock);
    release_blocked(name);
}

QXD_API int qxd_max_threads() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_max_threads;
}

QXD_API int qxd_overlaps() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_overlaps;
}
