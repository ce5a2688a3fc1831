// A connection to a PostgreSQL server through libpq: the Backend the entry
// points use when the server name is a PostgreSQL URI or keyword string.
#pragma once

#include "../parse.h"
#include "../conn.h"
#include "../dates.h"
#include "../elemtype.h"
#include "../records.h"
#include "../sqltext.h"
#include "../stmt_handle.h"
#include "../text.h"
#include "../value.h"
#include "libpq.h"

#include <functional>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace qse {
namespace pg {

// How one result column becomes a record field.
// Padded: a char(n)'s text without the blanks the server pads it with, so
// that it reads as the engine's CHAR(n) does (the text, a NUL, blanks).
enum class Decode : uint8_t { Int, Float4, Float8, Numeric, Money, Bool, Bytea, Text, Padded };

struct MappedColumn {
    pq::Oid oid = 0;
    int mod = -1;
    Decode dec = Decode::Text;
    int type = QSCLI_ET_CHAR;
    uint32_t len = 0;
    uint32_t off = 0;
    bool var = false;        // CHAR/ARRA as wide as the longest value
    bool infer_int = false;  // bigint of an expression: LONG when every value fits
};

// The element type, width and decoding of a column of type `oid` with
// modifier `mod`; `from_table` for a table field (bigint then stays DFLT).
// `int64`: bigint as QSCLI_ET_INT64 (QSCLI_ATTR_INT64 was set), else DFLT.
MappedColumn map_column(pq::Oid oid, int mod, bool from_table, bool int64 = false);
// `c` for a reader that was told the server's types (QSCLI_ATTR_SERVER_TYPES):
// a type whose element type would change its value comes as its text.
MappedColumn exact_column(const MappedColumn& c);
// A table field `c` as qcSqlAddRecords and QXTBLSTRUCT give it in `forms`.
MappedColumn table_column(const MappedColumn& c, FieldForms forms);
// The declared type's name as the server spells it, for the column record.
std::string type_label(pq::Oid oid, int mod);
// The value of a column in text form as the record packer takes it;
// `scratch` holds decoded bytea. False with *why when it does not fit.
bool decode_value(const MappedColumn& col, const char* p, size_t n, Value& v, std::string& scratch,
                  std::string* why);

// `sql` (n bytes, CP866) in the server's spelling where the library's
// dialect differs (blob literals, BEGIN's lock modes) into `out`; false
// when it needs no change.
bool server_dialect(const char* sql, size_t n, std::string& out);
// Refuses (0 or the failure's code) a text with a statement that could turn
// standard_conforming_strings off (standard_strings.cpp); `sql` ends in a NUL.
int refuse_standard_strings_off(Conn* c, const char* sql, size_t n);
// The text of the failure when the server reports the setting off.
extern const char STANDARD_STRINGS_OFF[];

// Whether a statement of the text is a CREATE TABLE or an ALTER TABLE: the
// columns it makes or changes then get the library's checks (checks.cpp).
bool defines_columns(const char* sql, size_t n);

// One field of a table's layout (QXTBLSTRUCT, addrecords).
struct Attribute {  // as the server keeps it (pg_attribute)
    std::string name;  // UTF-8
    pq::Oid oid;
    int mod;
    std::string decl;  // format_type()
    int type;      // the element type and width in the forms it was read in
    uint32_t len;
    // Sets type and len as `forms` give them (table_layout.cpp).
    void shape(FieldForms forms);
    bool operator==(const Attribute& o) const { return name == o.name && oid == o.oid && mod == o.mod; }
};

// What a statement commits when the server runs it: inside a transaction a
// plain COMMIT (or END) commits it; outside one, anything but a query or a
// transaction's control commits itself.
enum class Commits { NOTHING, TRANSACTION, ITSELF };
Commits commits(bool in_transaction, const char* sql, size_t n);

// Takes KEY=VALUE out of a PostgreSQL name (URI or keyword form): true with
// the value when it was there.
bool take_option(std::string& name, const std::string& key, std::string* value);

// libpq's message without its closing newline.
std::string trimmed(const char* m);

// The query of a table's layout (the rows read_layout reads) with the name
// as a literal.
std::string layout_query(const std::string& table_utf8);
// How a statement (SQL text) that ends, marks or sets up a transaction runs
// inside one: without a savepoint of its own (BEGIN, COMMIT, ROLLBACK,
// SAVEPOINT), after one that it takes with it when it succeeds (RELEASE,
// ROLLBACK TO: a wrong name then fails only itself), or SET TRANSACTION,
// which the server takes only outside a savepoint and before any query.
enum class Control { None, Outside, Undoes, Setting };
Control control_of(const std::string& sql);
bool controls_transaction(const std::string& sql);
// A query whose rows may be handed over as they come (QSCLI_ATTR_STREAM): one
// statement that only reads rows (SELECT, VALUES, TABLE).
bool streams_rows(const char* sql, size_t n);

class Rows;
class CopyData;

class Session final : public Backend {
public:
    Session(Conn* c, const pq::Api& api, pq::PGconn* conn);
    ~Session() override;
    int start();  // the session settings, after log-on
    // Named statements prepared on the server: off by the name's
    // prepared_statements=off, and when a pooler stands between (the server
    // process is not the one libpq logged on to), where a later transaction
    // may land on a server session that lacks them or has others by their names.
    bool prepare = true;

    int exec(Stmt* st, const char* sql) override;
    int copy_out(Stmt* st, const char* sql) override;
    int add_records(const char* table, int32_t count, unsigned rec_size, const void* recs) override;
    int add_arrow(const char* table, const std::vector<FieldShape>& shape, const int* columns,
                  const ArrowSchema* schema, const std::vector<const ArrowArray*>& arrays, int32_t count) override;
    bool info(unsigned attr, std::string& out) override;
    int cancel() override;
    bool alive() const override { return !lost_; }
    int dialect() const override { return QSCLI_DIALECT_PG; }
    int transaction_state() const override;
    void abandon() override;
    // The primitives of the library's own statements (primitives.cpp).
    int begin() override;
    int commit(bool* rolled_back) override;
    int rollback() override;
    int savepoint(const std::string& name) override;
    int release(const std::string& name) override;
    int rollback_to(const std::string& name) override;
    int describe_table(const std::string& table, FieldForms forms, std::vector<TableColumn>& out) override;

    // Used by the pieces of the backend.
    const pq::Api& pq;
    pq::PGconn* conn;
    Conn* c;

    // A failed result: its code and text reported. Takes `res`.
    int fail_result(pq::PGresult* res);
    // After a libpq call failed: a lost connection or libpq's own error.
    int fail_conn(const char* what);
    // Runs engine-made SQL (UTF-8) to its end; the last result (owned by the
    // caller) through *last, or 0 / the failure's code.
    int run(const std::string& sql, pq::PGresult** last = nullptr);
    // Runs `sql` with text parameters, prepared once a session as `name`;
    // the result is the caller's.
    int run_params(const char* name, const char* sql, int n, const char* const* values, pq::PGresult** out);
    // Delivers notifications waiting on the connection as user messages.
    void deliver_notifications();
    // The table's fields in order; reported failure code, or 0.
    int table_layout(const std::string& table_utf8, FieldForms forms, std::vector<Attribute>& out,
                     std::string* qualified);
    void read_layout(const pq::PGresult* res, FieldForms forms, std::vector<Attribute>& out, std::string* qualified);
    bool in_transaction() const;

    // The streamed statement whose rows are being read (rows.cpp), if any.
    Rows* open_rows = nullptr;
    // The COPY whose data is being read (copy_out.cpp), if any.
    CopyData* open_copy = nullptr;
    // Reads and drops what is left of the statement's results; a query still
    // running is cancelled.
    void discard_results();
    // Ends the statement once its results have been read, as it was sent
    // (the rest of its pipeline, its savepoint); `code` its outcome so far.
    int finish_statement(int code);
    // The rows of the query whose first result is `first`, handed over; with
    // `set`, those of that one result set only, its command tag left there.
    struct SetEnd {
        std::string tag, tuples;
    };
    std::unique_ptr<RowSource> hand_over(pq::PGresult* first, std::vector<MappedColumn> cols,
                                         std::vector<std::string> names, SetEnd* set = nullptr);
    // The session's settings again when the server reports one changed.
    int keep_settings();
    bool floats_named_ = false;  // the last text named extra_float_digits, or may have
    bool resets_ = false;        // the last text may have reset settings (RESET, DISCARD)
    // Fails when the server reports standard_conforming_strings off: at
    // log-on (a role's, a database's or the options' default), or after a
    // statement that turned it off where no text showed it (it is then set
    // on again).
    int standard_strings_on(bool at_logon);
    // Fails when the server reports a client_encoding other than UTF8 (a
    // SET of the user's): it is set back to UTF8 first.
    int utf8_kept();
    // Fails when the last text, which named extra_float_digits, set it to
    // 0 or less (the server does not report it): it is set back to 1 first.
    int float_digits_kept();

private:
    int run_statement(Stmt* st, const std::string& sql);
    // Reads the results of the statement sent into st.
    int collect(Stmt* st);
    void cancel_if_asked();
    void detach_rows();
    void detach_copy();
    // The data of the COPY the server began, handed over.
    std::unique_ptr<CopyOut> copy_data();
    bool copy_wanted_ = false;  // the running statement's COPY data goes to st->copy
    bool run_prepared(Stmt* st, const char* sql, size_t n, int* rc);
    struct Bound;
    int prepared_name(const Bound& b, std::string* name);
    void remember_unpreparable(const std::string& key);
    // Inside a transaction: the statement prepared (parsed first, unless it
    // was before) after a savepoint of its own, one flight. 1 when it ran
    // (*rc its outcome), 0 when it is to run as written.
    int run_pipelined(Stmt* st, const Bound& b, int* rc);
    bool pipeline_name(const Bound& b, std::string* name, bool* parse);
    bool send_pipeline(const Bound& b, const std::string& name, bool parse, int* steps);
    int read_steps(int steps, bool parse, bool* parsed, bool* unparsed);
    // Rolls back to the failed statement's savepoint, keeping its error;
    // when that fails too, the transaction stays failed and the error says so.
    void take_back_statement();
    // After a failure of the savepoint steps before a statement: the
    // transaction stays failed (nothing to take back), and the error says so.
    void keep_failed();
    int run_guarded(Stmt* st, const std::string& sql);
    // run_guarded's statement in one flight after its savepoint; false when
    // it cannot go in a pipeline (*code then untouched).
    bool run_in_flight(Stmt* st, const std::string& sql, int* code);
    // Sends the release of the last statement's savepoint and a new one, in
    // a pipeline; their count of results added to *steps.
    bool send_savepoint(int* steps);
    // A CREATE or ALTER TABLE, and the checks of the columns it made or
    // changed, in one transaction (the caller's, or one of their own).
    int run_defining(Stmt* st, const std::string& sql);
    // The library's checks of the columns this transaction made or changed.
    int add_checks();
    // Reads which checks of the database are the library's (checks.cpp).
    int read_library_checks();
    // Whether the check `constraint` of table `schema`.`table` (the server's
    // names of a violation) is one of the library's; its column then. A
    // user's check of the same kind of name known to the session never is.
    bool library_check(const char* schema, const char* table, const char* constraint, std::string* column) const;
    // Runs `sql` keeping the error already reported; its own code.
    int run_quietly(const std::string& sql);
    // The text that releases the last statement's savepoint, if one is open.
    std::string unguard();
    int run_return(Stmt* st, const Command& cmd);
    int rewrite_tblstruct(std::string& sql);
    struct Layout {
        std::vector<Attribute> fields;
        std::string qualified;
        FieldForms forms;  // the connection's loads' when it was read
        std::string name;  // as the caller named it (UTF-8)
    };
    // Appends row r of a batch in the COPY's format; false after reporting
    // a value that does not fit.
    using CopyRow = std::function<bool(int32_t r, std::string& out)>;
    // One batch of a table with its layout `t` (`verify`: kept from an
    // earlier batch, checked again by the batch); *misfit when the batch
    // does not fit the layout (the code then is the refusal, or 0 to read
    // the layout again when it was kept).
    using BatchCopy = std::function<int(const Layout& t, bool verify, bool* misfit)>;
    // A batch of rows for `table` (CP866), through `copy`, with the
    // table's layout read or kept.
    int load_batch(const char* table, const BatchCopy& copy);
    // One batch through COPY; `verify`: the layout query goes in the same
    // flight and a table that no longer has this layout answers STALE.
    int copy_batch(const Layout& t, bool verify, int32_t count, bool binary, const CopyRow& row);
    // The rows as the data of the COPY the server began, and its end, sent
    // COPY_CHUNK bytes at a time. *ended: the whole batch and the end of the
    // COPY went out.
    int copy_rows(bool binary, int32_t count, bool* ended, const CopyRow& row);
    static constexpr size_t COPY_CHUNK = 1 << 18;
    // Releases the batch's savepoint, rolling back to it first after a failure.
    int end_batch_savepoint(int code, bool stale);
    static constexpr int STALE = 1;
    void check_lost();
    // "the connection to the server at HOST was lost: WHY"
    int fail_lost(const std::string& why);
    // A statement that commits (`what`) failed: its outcome is unknown when
    // the connection went away after it was sent.
    int commit_failed(int rc, Commits what);

    std::string version_, remote_, local_;
    std::mutex cancel_lock_;
    pq::PGcancel* cancel_ = nullptr;
    bool lost_ = false;
    bool guarded_ = false;  // the last statement's savepoint is open
    // How the running statement was sent, for finish_statement: after a
    // savepoint of its own, in a pipeline.
    struct Sent {
        bool guarded = false;
        bool pipelined = false;
    } sent_;
    bool may_stream_ = false;  // the running statement may hand its rows over
    int state_before_ = 0;     // the transaction state the running statement began in
    std::string last_state_;  // SQLSTATE of the last server error

    // Prepared statements by parameterized text (CP866) and stated types.
    struct Prepared {
        std::string name;
        uint64_t used;
    };
    static constexpr size_t PREPARED_MAX = 64;
    std::unordered_map<std::string, Prepared> prepared_;
    std::unordered_set<std::string> unpreparable_;
    // Tables loaded this session: their layout, checked again by each batch.
    std::unordered_map<std::string, Layout> layouts_;
    std::unordered_set<std::string> own_prepared_;
    // The checks named as the library names its own, read at log-on and
    // after each CREATE or ALTER TABLE: by schema, table and name (each
    // ended by a NUL), the column of one of the library's, empty for a
    // user's.
    std::unordered_map<std::string, std::string> library_checks_;
    uint64_t clock_ = 0, prepared_count_ = 0;
};

}  // namespace pg
}  // namespace qse
