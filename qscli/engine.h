// The embedded engine behind libqscli.so: the client library's entry points
// over an SQLite database file. Everything here is internal; only the qcSql*
// entry points are exported.
#pragma once

#define QSCLI_DEFINE_PROTOTYPES
#include "../pyqivrexdb/qxcore/client/qscli.h"
#include "backend.h"

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qse {

// Return codes are QSCLI_E_* (client/qscli.h), the same whatever the backend.

// ---- text: UTF-8 inside the database, CP866 across the library boundary ----

// Appends the UTF-8 form of `n` CP866 bytes to `out`.
void cp866_to_utf8(const unsigned char* in, size_t n, std::string& out);

enum class TextStatus { Ok, TooLong, Unmapped, Invalid, Nul };

// Converts UTF-8 to CP866 into `out` (room for `cap` bytes); *written is the
// number of bytes produced. Stops at the first problem.
TextStatus utf8_to_cp866(const unsigned char* in, size_t n, unsigned char* out, size_t cap,
                         size_t* written);
// The same into a string (no length limit).
TextStatus utf8_to_cp866(const unsigned char* in, size_t n, std::string& out);
// A CP866 rendering for names and messages: unmapped characters become '?'.
std::string utf8_to_cp866_lossy(const char* in);
const char* text_problem(TextStatus st);

// ---- dates: a day count where 1900-01-01 is 1 and 2078-12-31 is 65379 ----

constexpr unsigned DATE_MAX = 65379;
#define QSE_STR2(x) #x
#define QSE_STR(x) QSE_STR2(x)
// The first and the last day, as messages spell them.
#define QSE_DATE_FIRST QSE_STR(QSCLI_DATE_FIRST_YEAR) "-01-01"
#define QSE_DATE_LAST QSE_STR(QSCLI_DATE_LAST_YEAR) "-12-31"
// 0 for an impossible or out-of-range date.
unsigned date_pack(unsigned day, unsigned month, unsigned year);
// False (and zeros) for 0 or a count beyond DATE_MAX.
bool date_unpack(unsigned packed, unsigned* day, unsigned* month, unsigned* year);
// Exactly "YYYY-MM-DD" → day count; 0 when it is not such a date in range.
unsigned date_from_iso(const unsigned char* s, size_t n);
// Day count (1..DATE_MAX) → "YYYY-MM-DD" (10 bytes, no NUL).
void date_to_iso(unsigned packed, char out[10]);

// ---- element types ----

// How a declared SQL type maps onto an element type. `var` marks CHAR and
// ARRA columns without a length (TEXT, BLOB): their width follows the data
// in a result set. `infer` marks no or an unknown declared type: the column
// takes its type from its values.
struct ElemType {
    int type = QSCLI_ET_CHAR;
    uint32_t len = 0;
    bool var = false;
    bool infer = false;
    bool int64 = false;  // a 64-bit integer type: QSCLI_ET_INT64 when asked for
};
ElemType map_decltype(const char* decl);
// Width of a table column in a record: a variable CHAR/ARRA column (or one
// of unknown type) loads through a field of this many bytes.
constexpr uint32_t TABLE_VAR_WIDTH = 255;
inline uint32_t table_width(const ElemType& e) {
    return (e.var || e.infer) ? TABLE_VAR_WIDTH : e.len;
}
inline int table_type(const ElemType& e) { return e.infer ? QSCLI_ET_CHAR : e.type; }
const char* type_name(int type);
uint32_t natural_width(int type);  // 0 for CHAR/ARRA
// An explicit `as TYPE` of a return statement; false when `name` is no type.
bool parse_type_name(const char* name, size_t n, ElemType* out);

// One value on its way into a record.
enum class VKind : uint8_t { Null, Int, Float, Text, Text866, Blob };
struct Value {
    VKind kind = VKind::Null;
    int64_t i = 0;
    double d = 0;
    const unsigned char* p = nullptr;
    size_t n = 0;
};

// Writes `v` into a field of element type `type` and `len` bytes at `dst`
// (NULL: zero bytes). On a value that does not fit, returns QSCLI_E_MISMATCH with
// the reason in *why; nothing is cut or wrapped. An ARRA value's own length
// (before the zero padding) goes to *width when given.
int pack_value(int type, uint32_t len, const Value& v, unsigned char* dst, std::string* why,
               uint32_t* width = nullptr);

// ---- record storage ----

// Append-only storage of fixed-size records (or of bytes, with size 1), in
// chunks that start small and double up to about a megabyte; chunks beyond
// the memory budget go to an anonymous temporary file.
class RecordStore {
public:
    RecordStore() = default;
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;
    ~RecordStore();

    void reset(uint32_t rec_size);
    void clear();
    // Room for one more record (rec_size bytes, contents undefined); null
    // when memory or the temporary file fails.
    unsigned char* append() {
        if (used_ == cap_) {
            if (!next_chunk()) return nullptr;
        }
        return cur_ + (used_++) * rec_;
    }
    // Appends raw bytes (byte stores).
    bool append_bytes(const void* p, size_t n);
    // Makes everything appended readable.
    bool finish();
    uint64_t count() const { return base_ + used_; }
    uint32_t rec_size() const { return rec_; }
    // Copies whole records from `start` into buf (cap bytes); bytes copied,
    // or -1 on an I/O error.
    int64_t read(uint64_t start, void* buf, uint64_t cap);
    static void set_memory_budget(uint64_t bytes);

private:
    struct Chunk {
        std::unique_ptr<unsigned char[]> mem;  // null when in the file
        uint64_t first = 0;                    // its first record
        size_t cap = 0;                        // records it holds
        uint64_t file_off = 0;
    };
    bool next_chunk();
    bool spill_current();

    uint32_t rec_ = 1;
    size_t cap_ = 0;        // records the current chunk holds
    size_t used_ = 0;       // records in the current chunk
    uint64_t base_ = 0;     // records before the current chunk
    unsigned char* cur_ = nullptr;
    std::vector<Chunk> chunks_;
    uint64_t mem_bytes_ = 0;
    std::unique_ptr<unsigned char[]> spill_buf_;  // the current chunk once spilling
    // The first chunk of the last result, kept for the next one: a run of
    // small statements allocates nothing for its records.
    std::unique_ptr<unsigned char[]> spare_;
    size_t spare_bytes_ = 0;
    size_t spill_cap_ = 0;
    bool spilling_ = false;
    uint64_t file_end_ = 0;
    int fd_ = -1;
};

// Reads the records of a store back in order through a window of at most
// 1 MiB (staged rows of both backends).
class StageReader {
public:
    explicit StageReader(RecordStore& s) : s_(s), total_(s.count()) {}
    const unsigned char* take(size_t n) {
        if (len_ - at_ < n) {
            if (len_ > at_) std::memmove(win_.data(), win_.data() + at_, len_ - at_);
            len_ -= at_;
            at_ = 0;
            uint64_t left_all = total_ - pos_ + len_;
            size_t want = left_all < (1u << 20) ? static_cast<size_t>(left_all) : (1u << 20);
            if (want < n) want = n;
            if (win_.size() < want) win_.resize(want);
            uint64_t left = total_ - pos_;
            size_t room = win_.size() - len_;
            size_t get = left < room ? static_cast<size_t>(left) : room;
            if (get) {
                int64_t got = s_.read(pos_, win_.data() + len_, get);
                if (got != static_cast<int64_t>(get)) return nullptr;
                pos_ += get;
                len_ += get;
            }
            if (len_ < n) return nullptr;
        }
        const unsigned char* p = win_.data() + at_;
        at_ += n;
        return p;
    }

private:
    RecordStore& s_;
    uint64_t total_;
    uint64_t pos_ = 0;
    std::vector<unsigned char> win_;
    size_t at_ = 0, len_ = 0;
};

// ---- connections and statements ----

struct Conn;

struct Stmt {
    int handle = 0;
    Conn* conn = nullptr;  // null once the connection is gone
    int busy = 0;
    int verbose = 0;

    // The result of the last statement executed.
    int ncols = QSCLI_RES_NONE;
    uint64_t rows = 0;
    uint32_t rec_size = 0;
    bool results = false;  // a result set exists (readable until closed)
    int sab_type = 0;
    std::vector<ColStruct_t> desc;
    RecordStore records;
    int rc_type = QSCLI_RES_NONE;
    std::vector<unsigned char> rc_body;
    // Optional capabilities (qscli.h): records end with null flags (1), and
    // then with the lengths of the ARRA values (2); the last statement's
    // changed rows (-1: not a row change) and inserted row id.
    int null_flags = 0;
    bool int64 = false;  // QSCLI_ATTR_INT64: 64-bit integer columns as QSCLI_ET_INT64
    int64_t changes = -1;
    int64_t last_rowid = 0;
    std::string error;  // the last failure's text (UTF-8), empty after a success

    void clear_result();
    // Bytes of null flags a record of `ncols` columns ends with.
    uint32_t flag_bytes(int ncols) const { return null_flags ? static_cast<uint32_t>((ncols + 7) / 8) : 0; }
    bool arra_lengths() const { return null_flags == 2; }
};

// How one result column is packed; the statistics serve variable and
// inferred columns.
struct Plan {
    ElemType e;
    int type = 0;
    uint32_t len = 0;
    uint32_t off = 0;
    // statistics of var and inferred columns
    uint64_t max_len = 0;  // text/blob bytes, and numbers as text
    bool any_text = false, any_blob = false, any_float = false, any_big = false;
};

// Prepared statements of one connection, keyed by the statement text as it
// arrived (CP866), so a repeated statement skips conversion and preparation.
class StmtCache {
public:
    struct Entry {
        std::string key;
        uint64_t hash = 0;
        sqlite3_stmt* stmt = nullptr;
        uint64_t used = 0;
        bool out = false;
        // what the text turned into
        int kind = 0;
        ElemType ret;  // return statements: the explicit type
        bool ret_typed = false;
        // Result columns as last described, valid while SQLite has not
        // prepared the statement afresh (its reprepare count is the same).
        int described_at = -1;
        bool described_int64 = false;
        bool staged = false;
        std::vector<Plan> plans;
        std::vector<ColStruct_t> desc;
    };
    ~StmtCache() { clear(); }
    static uint64_t hash_of(const char* s, size_t n);
    // Takes an idle entry for this text out of the cache, or null.
    Entry* checkout(const char* s, size_t n, uint64_t h);
    // Adds a freshly prepared statement, checked out; null when the cache is
    // full of busy entries (the caller then finalizes it itself).
    Entry* add(const char* s, size_t n, uint64_t h, sqlite3_stmt* st);
    void checkin(Entry* e);
    void clear();

private:
    std::vector<std::unique_ptr<Entry>> entries_;
    uint64_t clock_ = 0;
    static constexpr size_t CAPACITY = 96;
};

struct Message {
    std::string text;  // CP866
    size_t pos = 0;
    int usertype = 0;
    bool user = false;
};

// Calls on one connection come one at a time; calls on different
// connections may run at the same time, so what connections share (the
// handle registry, the memory budget) is guarded. Only qcSqlCancel reaches a
// connection from another thread while it works: through `cancelled` and
// Backend::cancel(), under `db_lock`, which also guards `backend` and `db`
// changing.
struct Conn {
    int handle = 0;
    std::unique_ptr<Backend> backend;  // set while connected
    sqlite3* db = nullptr;
    std::mutex db_lock;
    std::atomic<bool> cancelled{false};  // qcSqlCancel asked the running call to stop
    std::string server, user;
    bool err_to_user = false;
    qcSqlCbkSrvMsgT srv_cb = nullptr;
    qcSqlCbkSrvUserSendT user_cb = nullptr;
    int busy = 0;
    Message* msg = nullptr;  // the message being delivered
    // While held (a PostgreSQL statement is on the wire, where a receiver
    // could run nothing of its own), messages wait here in order.
    int hold = 0;
    std::vector<Message> held;
    struct Txn {
        std::string name;
        bool outer;  // began the database transaction (else a savepoint in one)
    };
    std::vector<Txn> transactions;  // named transactions, outermost first
    // Set when an error made SQLite roll back the transaction the named ones
    // lived in (ON CONFLICT ROLLBACK, a full disk ...): why. Their names stay
    // and every other statement is refused until commit work or rollback
    // work ends them, so nothing meant to be part of them commits alone.
    std::string lost;
    std::vector<Stmt*> stmts;
    StmtCache cache;
    std::string last_error;
    bool null_flags = false;  // qcSqlAddRecords also takes records with null flags
    bool int64 = false;       // qcSqlAddRecords takes 64-bit integer fields as QSCLI_ET_INT64
    bool int64_now = false;   // the statement running asked for QSCLI_ET_INT64 (QXTBLSTRUCT)
    // The main and temp schema versions the write checks were made for.
    int64_t checked_schema[2] = {-1, -1};

    // The text of last_error without its "error CODE: " prefix.
    std::string last_text() const {
        size_t at = last_error.find(": ");
        return at == std::string::npos ? last_error : last_error.substr(at + 2);
    }

    void deliver(const std::string& text_cp866, int usertype, bool user);
    // Delivers the messages held back.
    void release_messages();
    // Sets last_error and, when asked for, hands it to the server-message
    // callback. Returns code.
    int fail(int code, const std::string& text_utf8);
    int fail_sqlite(int rc);
    void open_db(sqlite3* opened);
    void close_db();
    // A new call begins: a cancel meant for an earlier one is forgotten.
    void begin_call() { cancelled.store(false, std::memory_order_relaxed); }
    bool cancel_requested() const { return cancelled.load(std::memory_order_relaxed); }
};

// Handle registry; unknown or released handles give null.
Conn* find_conn(int h);
Stmt* find_stmt(int h);
int new_conn();
int new_stmt(Conn* c);
void drop_conn(int h);
void drop_stmt(int h);
// qcSqlCancel: stops the call running on connection `h`; 0 also when none runs.
int cancel_conn(int h);

// Runs `sql` (CP866, NUL-terminated) on `st`.
int exec_direct(Stmt* st, const char* sql);
// True when named transactions are open in a database transaction.
inline bool in_named(const Conn* c) { return !c->transactions.empty() && !sqlite3_get_autocommit(c->db); }
// After a failure `code`: notes that it rolled back the named transactions
// that were open before (`named`, from in_named()). Returns code.
int note_lost(Conn* c, bool named, int code);
// The refusal of a statement while the named transactions are lost.
int refuse_lost(Conn* c);
// A cached prepared statement for engine-made SQL (UTF-8); null after
// reporting the failure. Give it back with release_cached().
sqlite3_stmt* prepare_cached(Conn* c, const std::string& sql, StmtCache::Entry** entry);
void release_cached(Conn* c, sqlite3_stmt* s, StmtCache::Entry* entry);
// Installs the engine's SQL functions on a new database connection.
int install_functions(Conn* c);
// Values a read could not return are refused when written (write_check.cpp):
// install once per database connection, and check before each statement
// that writes. 0 or the failure's code.
int install_write_check(Conn* c);
int check_writes(Conn* c);
// Bulk insert of `count` records of `rec_size` bytes into `table`.
int add_records(Conn* c, const char* table, qc_long count, unsigned rec_size, const void* recs);

// Sets a connection's `busy` for the lifetime of a call.
struct BusyGuard {
    int& n;
    explicit BusyGuard(int& c) : n(c) { ++n; }
    ~BusyGuard() { --n; }
};

// Holds a connection's messages for the lifetime of a call; the outermost
// delivers them as it ends.
struct MessageHold {
    Conn* c;
    explicit MessageHold(Conn* conn) : c(conn) { ++c->hold; }
    ~MessageHold() {
        if (--c->hold == 0 && !c->held.empty()) c->release_messages();
    }
    MessageHold(const MessageHold&) = delete;
    MessageHold& operator=(const MessageHold&) = delete;
};

// "HOST pid N": the client's address when there is no network between.
std::string local_host_pid();

// An SQL identifier in double quotes, inner quotes doubled.
std::string quote_ident(const std::string& name);

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
// A character of a name in SQL text (CP866: every byte from 0x80 is a letter).
inline bool is_word(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}
// An SQL string literal in single quotes, inner quotes doubled.
std::string quote_literal(const std::string& s);

// The UTF-8 form of n CP866 bytes.
std::string to_utf8(const char* p, size_t n);

// A literal taken out of a statement text (literals.cpp).
struct Literal {
    bool text;
    int64_t i;
    std::string s;  // CP866, quotes undone
};

enum class Dialect;
// Takes the integer and string literals in value positions out of `sql`:
// `key` becomes the text with a placeholder of the dialect in their places
// (? on the engine, $1, $2 ... on PostgreSQL), `lits` their values. False
// when the text is not one to parameterize.
bool parameterize(Dialect d, const char* sql, size_t n, std::string& key, std::vector<Literal>& lits);

}  // namespace qse
