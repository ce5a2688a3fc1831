// What the library's entry points need from a database engine. The entry
// points, the handles, result records, messages and error texts are common
// (api.cpp, conn.cpp, record_packer.cpp); a Backend is the one part that
// talks to a particular engine: the SQLite file engine (sqlite/) or a
// PostgreSQL server (pg/). Each connection owns one while it is connected.
#pragma once

#include "value.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qse {

struct Conn;
struct Stmt;

// A query's rows, made as they are read (QSCLI_ATTR_STREAM). A backend's
// exec, for a statement with st->stream set and a query whose column types
// it knows before the rows, fills st->desc (names, type and len of each
// column; len 0 for a CHAR or ARRA column of variable width, measured per
// batch) and hands the rows over in st->source instead of packing records.
// The common layer (stream.cpp) then sets the rest of the result, batches,
// packs, counts, drains and closes it. A result that does not stream comes
// from a RowSource too, read whole by read_result (stream.h), on every
// backend.
class RowSource {
public:
    virtual ~RowSource() = default;
    // 1 with the next row in `row` (one Value per column; Text as UTF-8 or
    // Text866, borrowed until the next call or close), 0 at the end, or an
    // error code already reported through Conn::fail.
    virtual int next(std::vector<Value>& row) = 0;
    // Ends the query early; the connection is ready for the next statement.
    virtual void close() = 0;
    // The rows as Arrow arrays (qcSqlReadArrow), for a source that can: the
    // schema of its columns; the next rows, at most max_rows and about
    // max_bytes of buffers, as one struct array in `out` (*rows of them; 0
    // and `out` left released at the end). QSCLI_E_UNSUPPORTED from a source
    // without them, else 0 or an error code reported through Conn::fail.
    virtual int arrow_schema(ArrowSchema*) { return QSCLI_E_UNSUPPORTED; }
    virtual int arrow_batch(ArrowArray*, uint64_t, uint64_t, uint64_t*) { return QSCLI_E_UNSUPPORTED; }
};

// The data of a COPY ... TO STDOUT still to come (qcSqlCopyOut). Deleting
// it ends the COPY early, dropping the rest.
class CopyOut {
public:
    virtual ~CopyOut() = default;
    // Up to `size` bytes into `buf`, *length of them: 0 at the end, the
    // COPY's outcome then returned. An error code is reported through
    // Conn::fail.
    virtual int read(char* buf, unsigned size, unsigned* length) = 0;
};

class Backend {
public:
    virtual ~Backend() = default;
    // Runs `sql` (CP866, NUL-terminated) on `st`, leaving its result set and
    // return value there, or a RowSource in st->source (see above). 0 or an
    // error code (reported through Conn::fail).
    virtual int exec(Stmt* st, const char* sql) = 0;
    // qcSqlExecRecords: `sql` once a record, stopping at the first failure
    // (qscli.h); *done and *changes count what ran. QSCLI_E_UNSUPPORTED,
    // before anything runs, for a statement it does not run so.
    virtual int exec_records(Stmt*, const char*, const RecordLayout&, int32_t, const unsigned char*, int32_t*,
                             int64_t*) {
        return QSCLI_E_UNSUPPORTED;
    }
    // qcSqlCopyOut: runs `sql` (CP866), a COPY statement, on `st`, leaving
    // its data to come in st->copy (none for a COPY that sends none).
    virtual int copy_out(Stmt*, const char*) { return QSCLI_E_UNSUPPORTED; }
    // qcSqlAddRecords: one batch, whole or not at all.
    virtual int add_records(const char* table, int32_t count, unsigned rec_size, const void* recs) = 0;
    // qcSqlAddArrow: the `count` rows of struct arrays one after the other,
    // one batch as add_records loads it; `shape` the fields as the caller's
    // records would have them, `columns` the arrays' child of each.
    // QSCLI_E_UNSUPPORTED, before anything is sent, where it cannot.
    struct FieldShape {
        int type;
        uint32_t len;
    };
    virtual int add_arrow(const char*, const std::vector<FieldShape>&, const int*, const ArrowSchema*,
                          const std::vector<const ArrowArray*>&, int32_t) {
        return QSCLI_E_UNSUPPORTED;
    }
    // The text of an information attribute (CP866); false for an unknown one.
    virtual bool info(unsigned attr, std::string& out) = 0;
    // Asks the running call to stop; safe from any thread.
    virtual int cancel() = 0;
    // False once the engine can no longer be used (a lost server): the
    // connection then reports itself closed.
    virtual bool alive() const { return true; }
    // Called instead of the destructor's goodbye in a forked child: the
    // parent still uses the session, so nothing may reach the server.
    virtual void abandon() {}
    // The lexical rules of the SQL it reads (QSCLI_DIALECT_*).
    virtual int dialect() const = 0;
    // qcSqlTransactionState: QSCLI_TX_* as the engine holds it now.
    virtual int transaction_state() const = 0;

    // One field of a table as the library describes it (QXTBLSTRUCT,
    // qcSqlAddRecords): its place in a record follows from the fields before it.
    struct TableColumn {
        std::string name;  // UTF-8
        int type;          // QSCLI_ET_*
        uint32_t len;      // its width in a record
        std::string decl;  // the declared type as the engine spells it (UTF-8)
        uint32_t chars = 0;  // a CHAR's declared length in characters; 0 for none
    };

    // What the library's own statements (own.cpp, named.cpp, tblstruct.cpp)
    // are made of. Each reports its failure through Conn::fail and returns
    // the code, else 0. Names are UTF-8.
    virtual int begin() = 0;
    // *rolled_back: the engine ended the transaction with a rollback instead
    // (an earlier error had spoiled it).
    virtual int commit(bool* rolled_back) = 0;
    virtual int rollback() = 0;
    virtual int savepoint(const std::string& name) = 0;
    virtual int release(const std::string& name) = 0;
    // Takes back what was done since savepoint `name`, and releases it.
    virtual int rollback_to(const std::string& name) = 0;
    // The fields of `table` in order, in the element types `forms` asks for.
    // A table without fields is an error.
    virtual int describe_table(const std::string& table, FieldForms forms, std::vector<TableColumn>& out) = 0;
};

using TableColumn = Backend::TableColumn;

// Sets up the SQLite engine once per process (qcSqlInit). 0 or a code.
int init_sqlite();
// Opens the backend a server name (UTF-8) asks for. On failure returns the
// code after reporting it through c->fail().
int open_sqlite(Conn* c, const std::string& name, std::unique_ptr<Backend>* out);
int open_pg(Conn* c, const std::string& name, const std::string& user, const std::string& passwd,
            std::unique_ptr<Backend>* out);
// A PostgreSQL URI (postgresql://, postgres://) or libpq keyword string.
bool is_pg_name(const std::string& name);

}  // namespace qse
