/* The client library's interface: entry points, constants and the column
 * record. Plain C, no Python: the extension, the embedded engine (qscli/) and
 * the test double (tests/double/) all include this one file, so the three can
 * never disagree about a signature.
 *
 * The library was born on 32-bit Windows, where every entry point is
 * __stdcall and a C `long` is 32 bits wide. Records, counts and handles keep
 * those widths on every platform: `qc_long` is the library's `long`.
 */
#ifndef QSCLI_H
#define QSCLI_H

#include <stdint.h>

#if defined(_WIN32)
#define QSCLI_CALL __stdcall
#define QSCLI_EXPORT __declspec(dllexport)
#else
#define QSCLI_CALL
#define QSCLI_EXPORT __attribute__((visibility("default")))
#endif

typedef int32_t qc_long;

/* Every entry point the loader looks up, in the order it looks them up.
 * KEPT(name, parameters) is stored in the entry-point table; DROPPED(name) is
 * looked up and thrown away (the library has it, the module never calls it).
 * Every entry point returns a C int. */
#define QSCLI_ENTRY_POINTS(KEPT, DROPPED)                                          \
    KEPT(qcSqlInit, (int flags))                                                   \
    DROPPED(qcSqlDone)                                                             \
    KEPT(qcSqlAllocConnect, (int* hdb))                                            \
    KEPT(qcSqlDisconnect, (int* hdb))                                              \
    KEPT(qcSqlFreeConnect, (int* hdb))                                             \
    KEPT(qcSqlConnect, (int hdb, char* server, char* user, char* passwd))          \
    KEPT(qcSqlGetConnectAttr, (int hdb, unsigned int attr, int zero, char* buf,    \
                               unsigned int size, unsigned int* length))           \
    KEPT(qcSqlSetConnectAttr, (int hdb, unsigned int attr, void* value,            \
                               unsigned int zero))                                 \
    KEPT(qcSqlAllocStmt, (int hdb, int* hstmt))                                    \
    KEPT(qcSqlSetStmtAttr, (int hstmt, unsigned int attr, void* value,             \
                            unsigned int size))                                    \
    KEPT(qcSqlExecDirect, (int hstmt, const char* sql))                            \
    DROPPED(qcSqlExecDirectAsync)                                                  \
    DROPPED(qcSqlExecDirectQuery)                                                  \
    KEPT(qcSqlConnReadMsg, (int hdb, void* buf, unsigned int size,                 \
                            unsigned int* length))                                 \
    KEPT(qcSqlGetStmtAttr, (int hstmt, unsigned int attr, int zero, void* buf,     \
                            unsigned int size, unsigned int* length))              \
    KEPT(qcSqlNumResultCols, (int hstmt, int* count))                              \
    KEPT(qcSqlRowCount, (int hstmt, qc_long* count))                               \
    KEPT(qcSqlOpenResults, (int hstmt, unsigned int* rec_size))                    \
    KEPT(qcSqlReadResults, (int hstmt, qc_long start, void* buf,                   \
                            unsigned int size, unsigned int* delivered))           \
    KEPT(qcSqlCloseResults, (int hstmt))                                           \
    KEPT(qcSqlFreeStmt, (int hstmt))                                               \
    KEPT(qcSqlAddRecords, (int hdb, char* table, qc_long count,                    \
                           unsigned int rec_size, void* records))                  \
    KEPT(qcSqlPackDate, (unsigned int day, unsigned int month, unsigned int year)) \
    KEPT(qcSqlUnpackDate, (unsigned short packed, unsigned int* day,               \
                           unsigned int* month, unsigned int* year))

/* Optional entry points: capabilities our own library adds. The loader looks
 * them up but never requires them; the vendor's library has none of them,
 * and a slot left empty answers QSCLI_E_UNSUPPORTED.
 *
 * qcSqlCancel(hdb): asks the call running on connection `hdb` to stop. Safe
 *   from any thread at any time, also while another thread is inside a call
 *   on that connection; returns 0 also when nothing runs. The call it stops
 *   returns QSCLI_E_INTERRUPTED and the connection stays usable.
 * qcSqlConcurrency(level): *level = 0 when the library takes one call at a
 *   time in the whole process (the assumption for a library without this
 *   entry point), or the sum of the QSCLI_CONCURRENT_* it allows:
 *   CONNECTIONS, calls on different connections may run at the same time
 *   (calls on one connection, or on its statements, still one at a time;
 *   calls that name no connection, such as the date functions, at any
 *   time); CALLBACKS_WAITED, a message the library delivers from a thread
 *   of its own comes only while the call it belongs to waits for the
 *   callback to return, so the receiver may make calls in that call's place
 *   (without it such a receiver's calls wait for the running call to end).
 *   A library without qcSqlCancel cannot be stopped: the driver's
 *   Connection.interrupt() then raises NotSupportedError and Ctrl-C waits
 *   for the call to end.
 * qcSqlDialect(hdb, dialect): *dialect = the lexical rules of the SQL that
 *   connection `hdb` speaks (QSCLI_DIALECT_*): how its literals, quoted
 *   names and comments are written. A library without it speaks
 *   QSCLI_DIALECT_ENGINE.
 * qcSqlTransactionState(hdb, state): *state = QSCLI_TX_* for connection
 *   `hdb` as the database holds it now: no transaction open, one open, or
 *   one open that failed and takes nothing but a rollback. Without it the
 *   driver keeps its own account and marks a transaction ended only once
 *   its ending statement has succeeded.
 * qcSqlExecRecords(hstmt, sql, fields, layout, count, rec_size, records,
 *   done, changes): runs `sql` (as for qcSqlExecDirect, with `fields` ?
 *   marks) once for each of `count` records, binding the record's fields to
 *   the marks in order: each record runs as qcSqlExecDirect would run the
 *   text with the fields written in as their literals. `layout` holds an
 *   element type and a len for each field (2 * fields ints); the fields
 *   follow one another from offset 0, then (fields + 7) / 8 null flag bytes
 *   and one 4-byte length per ARRA field, as in results with
 *   QSCLI_ATTR_NULL_FLAGS 2; rec_size is their sum. A CHAR field is CP866
 *   text up to its first NUL. *done = the records that ran, *changes = the
 *   rows they changed. It stops at the first record that fails, with that
 *   record's code and error text, as its qcSqlExecDirect would; what that
 *   record did is undone, what the ones before it did stays. A statement it
 *   does not run this way (one giving rows, a mark where a literal would
 *   not be a value, a backend without it) is refused with
 *   QSCLI_E_UNSUPPORTED before anything runs: the caller then executes
 *   each record's text itself. */
#define QSCLI_OPTIONAL_ENTRY_POINTS(OPTIONAL)                                      \
    OPTIONAL(qcSqlCancel, (int hdb))                                               \
    OPTIONAL(qcSqlConcurrency, (int* level))                                       \
    OPTIONAL(qcSqlDialect, (int hdb, int* dialect))                                \
    OPTIONAL(qcSqlTransactionState, (int hdb, int* state))                         \
    OPTIONAL(qcSqlExecRecords, (int hstmt, const char* sql, int fields,            \
                                const int* layout, qc_long count,                  \
                                unsigned int rec_size, void* records,              \
                                qc_long* done, int64_t* changes))                  \
    OPTIONAL(qcSqlCopyOut, (int hstmt, const char* sql, void* buf,                 \
                            unsigned int size, unsigned int* length))              \
    OPTIONAL(qcSqlReadArrow, (int hstmt, qc_long start, qc_long max_rows,          \
                              unsigned int max_bytes, struct ArrowSchema* schema,  \
                              struct ArrowArray* array, qc_long* rows))            \
    OPTIONAL(qcSqlAddArrow, (int hdb, char* table, int fields, const int* layout,  \
                             const int* columns, struct ArrowSchema* schema,       \
                             struct ArrowArray** arrays, int batches))

/* qcSqlCopyOut(hstmt, sql, buf, size, length): the data a `COPY ... TO
 *   STDOUT` sends, read in pieces. With `sql` (CP866, a COPY statement; any
 *   other text is refused with QSCLI_E_ARGUMENT before it runs) the
 *   statement runs on `hstmt`, as qcSqlExecDirect would run it (its previous
 *   result ends), and the first bytes of its data arrive in `buf`; with a
 *   null `sql` the next ones. *length = the bytes delivered, at most `size`
 *   (at least 1 until the data ends, a line of it possibly cut between two
 *   calls); 0 once the data has ended, and the COPY's outcome is the code of
 *   that call. The data is the server's own text, as its COPY writes it, in
 *   UTF-8 (never CP866). A COPY that sends no data (to a file) delivers 0 at
 *   once. Until it delivers 0 the COPY holds the connection: anything else
 *   run on it first (a statement, a batch of qcSqlAddRecords), closing the
 *   statement's results or freeing it ends the COPY, and a read after that
 *   fails with QSCLI_E_ERROR; qcSqlCancel stops it (QSCLI_E_INTERRUPTED).
 *   A library without it answers QSCLI_E_UNSUPPORTED, as does a backend
 *   that has no COPY (the engine). */

/* qcSqlReadArrow(hstmt, start, max_rows, max_bytes, schema, array, rows):
 *   the rows of a streamed result (QSCLI_ATTR_STREAM) from record `start` on,
 *   handed over as Arrow arrays (the C data interface below) decoded straight
 *   from what the server sends, without records. `start` counts records as
 *   qcSqlReadResults does; the two may take turns on one result.
 *   - A non-null `schema` receives the result's schema, a struct of one
 *     child a column (names in UTF-8); the caller releases it. A null
 *     `array` asks for nothing more.
 *   - A non-null `array` receives the next rows as one struct array of at
 *     most `max_rows` rows (and about `max_bytes` bytes of buffers, at least
 *     one row); at the end of the result it is left released (its release
 *     null) and *rows is 0. *rows = the rows delivered; the next call's
 *     `start` is the old one plus *rows.
 *   - A positive answer N: rows made into records before (or read ahead
 *     into records because the connection ran something else) come first:
 *     read N records with qcSqlReadResults as without this call (a batch
 *     after the current one starting with its read of 0 bytes), then ask
 *     again. N never reaches past the current batch unless it is empty.
 *   - QSCLI_E_UNSUPPORTED: this result has no Arrow form here (a library
 *     without the capability, a result that does not stream, a backend or
 *     a connection without it); read records. The answer does not change
 *     for the rest of the result.
 *   - Another error code: the failure of the query, as qcSqlReadResults
 *     would report it (a value that does not fit its Arrow type is
 *     QSCLI_E_MISMATCH naming the column; a cancel QSCLI_E_INTERRUPTED).
 *     The result then ends; the connection stays usable.
 *   Column types follow the element types the records would have, refined
 *   by the server's type where it has a natural Arrow one: CHAR utf8 (a date
 *   date32, a numeric(p<=38,s) decimal128(p,s), a timestamp timestamp[us],
 *   a timestamptz timestamp[us, UTC]), ARRA binary, a boolean's BYTE bool, INTR int16, LONG int32,
 *   DWRD uint32, QSCLI_ET_INT64 int64, FLOA float32, CURR and DFLT float64,
 *   DATE date32. NULLs are validity bits. The arrays are the caller's. */
/* qcSqlAddArrow(hdb, table, fields, layout, columns, schema, arrays,
 *   batches): the rows of `batches` struct arrays of the Arrow C data
 *   interface (below), one after the other, each of schema `schema`,
 *   loaded into `table` as one batch of qcSqlAddRecords would load the
 *   records holding the same values: whole or not at all, with its codes
 *   and error texts; at most 2^31 - 1 rows in all. `layout` holds the
 *   element type and len of each of the table's `fields` fields as the
 *   caller's records would have them (2 * fields ints; a table whose fields
 *   differ now is refused as a record of the wrong length is), `columns`
 *   the child of each array that fills each. The caller has held every
 *   value to its field as it would for a record (ranges, text lengths and
 *   encodings); NULLs are validity bits, taken where the connection takes
 *   null flags (QSCLI_ATTR_NULL_FLAGS). The arrays stay the caller's.
 *   QSCLI_E_UNSUPPORTED, before anything is sent (a call of no batches asks
 *   just that): a library or backend without it, a connection without null
 *   flags, or a pair of an Arrow type and a field it does not write as it
 *   is; the caller then sends records. Written as they are: int8/16/32/64
 *   into a QSCLI_ET_INT64 bigint, int8/16/32 into a LONG integer, int8/16
 *   into an INTR smallint, float32/64 into a DFLT double precision (a NaN
 *   refused as a record's is), utf8 and large_utf8 into a CHAR text,
 *   varchar or char on a QSCLI_ATTR_TEXT_UTF8 connection; on PostgreSQL
 *   only. */
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};
struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};
#endif /* ARROW_C_DATA_INTERFACE */

/* qcSqlConcurrency */
#define QSCLI_CONCURRENT_CONNECTIONS 1
#define QSCLI_CONCURRENT_CALLBACKS_WAITED 2
/* qcSqlDialect */
#define QSCLI_DIALECT_ENGINE 0 /* '' texts, "" and [] names, line and block comments */
#define QSCLI_DIALECT_PG 1     /* also E'' texts with backslashes, $tag$ texts, nested block comments */
/* qcSqlTransactionState */
#define QSCLI_TX_IDLE 0
#define QSCLI_TX_OPEN 1
#define QSCLI_TX_FAILED 2

/* Return codes: 0 is success, a positive value a statement's own result,
   a negative one an error. The library's errors, whatever its backend: */
#define QSCLI_E_ERROR (-1)          /* SQL error, unknown table or column */
#define QSCLI_E_INTERNAL (-2)       /* the library's own fault */
#define QSCLI_E_PERM (-3)           /* permission denied */
#define QSCLI_E_ABORT (-4)          /* transaction rolled back */
#define QSCLI_E_BUSY (-5)           /* the database is busy (a lock wait ran out) */
#define QSCLI_E_LOCKED (-6)         /* a table is locked */
#define QSCLI_E_NOMEM (-7)          /* out of memory */
#define QSCLI_E_READONLY (-8)       /* the database is read-only */
#define QSCLI_E_INTERRUPTED (-9)    /* the call was stopped by qcSqlCancel */
#define QSCLI_E_IO (-10)            /* input/output error */
#define QSCLI_E_FULL (-13)          /* the disk is full */
#define QSCLI_E_CANTOPEN (-14)      /* the database cannot be opened or reached */
#define QSCLI_E_PROTOCOL (-15)      /* lock protocol */
#define QSCLI_E_SCHEMA (-17)        /* the schema changed */
#define QSCLI_E_TOOBIG (-18)        /* a value or result is too big */
#define QSCLI_E_CONSTRAINT (-19)    /* a constraint failed */
#define QSCLI_E_MISMATCH (-20)      /* a value does not fit its column's element type */
#define QSCLI_E_MISUSE (-21)        /* misuse */
#define QSCLI_E_NOLFS (-22)         /* large files unsupported */
#define QSCLI_E_AUTH (-23)          /* authorisation failed */
#define QSCLI_E_RANGE (-25)         /* a value is out of range */
#define QSCLI_E_NO_TRANSACTION (-64) /* commit or rollback of an unknown name */
#define QSCLI_E_UNSUPPORTED (-90)   /* the library lacks this entry point */
#define QSCLI_E_IN_USE (-91)        /* the handle is executing a call */
#define QSCLI_E_NO_CLIENT (-92)     /* the backend's client library (libpq) cannot be loaded */
#define QSCLI_E_NO_RESULTS (-93)    /* the statement has no result set */
#define QSCLI_E_RECORD_LENGTH (-94) /* a record's length is not the table's */
#define QSCLI_E_ARGUMENT (-95)      /* null pointer, unknown attribute, short buffer */
#define QSCLI_E_CONNECTION (-96)    /* unknown connection handle, or connection gone */
#define QSCLI_E_STATEMENT (-97)     /* unknown or closed statement handle */
#define QSCLI_E_COMMIT_UNKNOWN (-98) /* the server went away after COMMIT was sent: it may have committed */

/* Callbacks registered with qcSqlSetConnectAttr. */
typedef void(QSCLI_CALL* qcSqlCbkSrvMsgT)(int hdb, int unused);
typedef void(QSCLI_CALL* qcSqlCbkSrvUserSendT)(int hdb, int usertype);

/* Statement attributes */
#define QSCLI_ATTR_FLD_VERBOSE 1001
#define QSCLI_STMT_SAB_TYPE 102
#define QSCLI_STMT_DST_INFO 107
#define QSCLI_STMT_RC_TYPE 109
#define QSCLI_STMT_RC_SIZE 110
#define QSCLI_STMT_RC_BODY 111
/* Connection attributes */
#define QSCLI_ATTR_CBK_SRVMSG 1100
#define QSCLI_ATTR_CBK_SRVUSERSEND 1101
#define QSCLI_CONN_SRV_VERS2 103
#define QSCLI_CONN_LCLADDR 152
#define QSCLI_CONN_RMTADDR 153
/* Optional attributes our own library adds. A library that does not know one
 * refuses it with a non-zero code (the vendor's does): the driver then works
 * as without it.
 *
 * QSCLI_ATTR_NULL_FLAGS, statement (qcSqlSetStmtAttr, value (void*)1, size
 *   0), set before qcSqlExecDirect: every record of the statement's results
 *   ends with (columns + 7) / 8 bytes of null flags, starting at offset
 *   rec_size - (columns + 7) / 8; bit (i & 7) of flag byte (i >> 3) is set
 *   when column i is NULL (its field then holds zero bytes). The record size
 *   qcSqlOpenResults reports includes the flags; column offsets are as
 *   without them.
 *   Value (void*)2: as with 1, and every record further ends with one 4-byte
 *   little-endian length per ARRA column, in column order, after the flags:
 *   the bytes of that column's value (0 for NULL), the rest of its field
 *   being padding. The flags then start at rec_size - (columns + 7) / 8 -
 *   4 * arra_columns. A library without this setting refuses it; 1 may still
 *   be accepted.
 * QSCLI_ATTR_NULL_FLAGS, connection (qcSqlSetConnectAttr, value (void*)1):
 *   qcSqlAddRecords on this connection also takes records of the table's
 *   length plus (fields + 7) / 8 flag bytes, laid out as above; a set bit
 *   stores NULL. Records of the table's own length still load as before.
 * QSCLI_STMT_ERR_TEXT (qcSqlGetStmtAttr) / QSCLI_CONN_ERR_TEXT
 *   (qcSqlGetConnectAttr): the text of the last error on that statement /
 *   connection (log-on, qcSqlAddRecords), CP866, NUL-terminated, cut to the
 *   buffer; an empty text when there was none.
 * QSCLI_STMT_CHANGES (qcSqlGetStmtAttr, 8 bytes, int64_t): the number of rows
 *   the last statement inserted, updated or deleted; -1 for a statement of
 *   another kind.
 * QSCLI_STMT_LAST_ROWID (qcSqlGetStmtAttr, 8 bytes, int64_t): the row id of
 *   the last row the last statement inserted, 0 when none. */
#define QSCLI_ATTR_NULL_FLAGS 1201
#define QSCLI_STMT_ERR_TEXT 1202
#define QSCLI_CONN_ERR_TEXT 1203
#define QSCLI_STMT_CHANGES 1204
#define QSCLI_STMT_LAST_ROWID 1205
/* QSCLI_ATTR_INT64, statement (qcSqlSetStmtAttr, value (void*)1, size 0),
 *   set before qcSqlExecDirect: result columns of a 64-bit integer type
 *   (BIGINT on the engine, bigint on PostgreSQL) are of the element type
 *   QSCLI_ET_INT64 below, 8 bytes, where they were DFLT; so are such fields
 *   in the statement's QXTBLSTRUCT rows.
 * QSCLI_ATTR_INT64, connection (qcSqlSetConnectAttr, value (void*)1):
 *   qcSqlAddRecords on this connection takes such fields as QSCLI_ET_INT64
 *   (the same 8 bytes, an integer instead of a double).
 * A library without the capability refuses both; its 64-bit columns stay
 * DFLT. The core face never asks: it knows the twelve types only. */
#define QSCLI_ATTR_INT64 1206
#define QSCLI_ET_INT64 12 /* signed 64-bit, little-endian; only when asked for */
/* QSCLI_CONN_MSG_CHANNEL (qcSqlGetConnectAttr), asked inside a user-message
 *   callback: the channel the message came on (a PostgreSQL notification's,
 *   CP866, NUL-terminated, cut to the buffer); an empty text for a message
 *   that has none (user_message() on the engine) or outside a callback. A
 *   library without it refuses the attribute: the channel is then unknown. */
#define QSCLI_CONN_MSG_CHANNEL 1207
/* QSCLI_ATTR_STREAM, statement (qcSqlSetStmtAttr, value (void*)1, size 0),
 *   set before qcSqlExecDirect: a query whose column types are known before
 *   its rows has its records made as they are read, in batches (at least one
 *   record; the first one small). Types, names and order of the columns never
 *   change between batches; the record size and the widths and offsets of
 *   variable columns may.
 *   - qcSqlRowCount gives -1 until the last record has been made, then the
 *     exact count (a result that fits its first batch is exact at once).
 *   - qcSqlOpenResults gives the record size of the current batch, 0 once the
 *     last batch has been read; QSCLI_STMT_DST_INFO describes that batch.
 *   - qcSqlReadResults counts records from the start of the result, as
 *     without the attribute, and delivers those of the current batch. Asked
 *     for the record after it, it makes the next batch and delivers 0 bytes:
 *     the caller then asks qcSqlOpenResults (0: the end) and
 *     QSCLI_STMT_DST_INFO again. A value that does not fit its column, or a
 *     failure of the query, fails that call instead of the execute.
 *   - Anything else the connection runs first reads the rest of the result to
 *     its end (then one batch, as without the attribute); qcSqlCloseResults
 *     and the next qcSqlExecDirect of the statement end it early.
 *   Statements that do not stream with it (row changes, the library's own
 *   statements, columns whose types come from their values) behave as
 *   without it. A library without the capability refuses the attribute. */
#define QSCLI_ATTR_STREAM 1208
/* QSCLI_ATTR_MSG_UTF8, connection (qcSqlSetConnectAttr, value (void*)1;
 *   (void*)0 switches it off): the connection's messages, as
 *   qcSqlConnReadMsg reads them, and their channel (QSCLI_CONN_MSG_CHANNEL)
 *   are UTF-8 instead of CP866, so a text with characters CP866 lacks
 *   arrives as it was sent (in CP866 each such character reads as '?'). A
 *   library without it refuses the attribute: messages stay CP866. */
#define QSCLI_ATTR_MSG_UTF8 1209
/* QSCLI_ATTR_TEXT_UTF8, connection (qcSqlSetConnectAttr, value (void*)1),
 *   set before qcSqlConnect (QSCLI_E_IN_USE after it): every text crossing the
 *   library for this connection is UTF-8 instead of CP866. That is the
 *   connect texts (file name or DSN, user, password), SQL text and its
 *   literals, CHAR fields of records both ways (results, parameter records,
 *   qcSqlAddRecords), return values, column and table names, error texts,
 *   messages and their channel (as QSCLI_ATTR_MSG_UTF8 gives them).
 *   A CHAR field whose column declares a length of n characters takes 4 * n
 *   bytes in a record (QXTBLSTRUCT and QSCLI_STMT_DST_INFO give that len);
 *   its value is at most n characters, then a NUL and blanks to the end. A
 *   text that is no valid UTF-8, or has a NUL, is refused as a CP866 text
 *   with a character outside the page is. A library without the capability
 *   refuses the attribute: everything stays CP866. */
#define QSCLI_ATTR_TEXT_UTF8 1210
/* QSCLI_ATTR_SERVER_TYPES, statement (qcSqlSetStmtAttr, value (void*)1,
 *   size 0), set before qcSqlExecDirect: a result column whose element type
 *   would change its server's value (PostgreSQL's numeric, which DFLT would
 *   round, and date, which DATE holds for 1900-2078 only) comes as CHAR of
 *   the server's text form instead; the other columns are as without it.
 *   The statement's QXTBLSTRUCT rows give a numeric field as
 *   QSCLI_ET_DECIMAL below, where it was DFLT.
 * QSCLI_ATTR_SERVER_TYPES, connection (qcSqlSetConnectAttr, value (void*)1;
 *   (void*)0 switches it off): qcSqlAddRecords on this connection takes such
 *   fields as QSCLI_ET_DECIMAL, so a number goes in with every digit it has.
 * QSCLI_ATTR_SERVER_TYPES (qcSqlGetStmtAttr), once a result set exists: for
 *   each result column in order, 8 bytes: the server's type (a PostgreSQL
 *   type OID, uint32_t) and its modifier (int32_t, -1 for none),
 *   little-endian, so a reader can choose each column's Python value once.
 *   *length 0: the backend has no server types (the embedded engine), and
 *   the element types are all there is. A library without the capability
 *   refuses both: values stay as the element types give them. */
#define QSCLI_ATTR_SERVER_TYPES 1211
/* A decimal number as its text, only when asked for (QSCLI_ATTR_SERVER_TYPES):
 *   ASCII, an optional sign, digits with an optional point and an optional
 *   exponent ("-12.50", "1E+30"), or NaN, Infinity, -Infinity; a text shorter
 *   than the field ends with a NUL. The field is as wide as the column's
 *   longest text (numeric(p, s)), 255 bytes for a numeric without them. */
#define QSCLI_ET_DECIMAL 13
/* QSCLI_STMT_COL_NAMES (qcSqlGetStmtAttr), once a result set exists: each
 *   result column's whole name, in order, each ended by a NUL, in the
 *   connection's text (CP866 or UTF-8). The column record's names stop at 31
 *   bytes (in UTF-8 before a character the cut would split); these do not.
 *   *length is the bytes all of them take; a buffer shorter than that gets
 *   QSCLI_E_ARGUMENT with *length still set, so a second call can fit. A
 *   library without the capability refuses it: names are the record's. */
#define QSCLI_STMT_COL_NAMES 1212
/* QSCLI_STMT_EXECUTED (qcSqlGetStmtAttr, sizeof(QscliExecuted) bytes), after
 *   qcSqlExecDirect: in one call what the calls an execute is followed by
 *   would answer: qcSqlNumResultCols (columns), QSCLI_STMT_RC_SIZE
 *   (rc_size), qcSqlRowCount (rows) and qcSqlOpenResults (open_rc, its
 *   return code; rec_size, the record size it gives when open_rc is 0).
 *   held is 1 when every record of the result is in the library's memory
 *   and the result's end is known (rows is then its count): qcSqlReadResults
 *   on it answers at once, never waiting for the server or a source, so the
 *   caller may read without letting other threads run. A buffer with room
 *   after the struct for every column record of the result gets them there,
 *   as QSCLI_STMT_DST_INFO gives them, and *length counts them; otherwise
 *   *length is the struct's size and the caller asks QSCLI_STMT_DST_INFO. A
 *   library without the capability refuses it (or answers a shorter
 *   *length): the calls are made one by one. */
#define QSCLI_STMT_EXECUTED 1213
typedef struct QscliExecuted {
    int32_t columns;
    uint32_t rc_size;
    qc_long rows;
    int32_t open_rc;
    uint32_t rec_size;
    uint32_t held;
} QscliExecuted;
/* QSCLI_CONN_TIME_ZONE (qcSqlGetConnectAttr), once logged on: the session's
 *   time zone as the server names it now (PostgreSQL's TimeZone setting:
 *   "Europe/Berlin", "UTC", "<+05>-05"), in the connection's text, so a
 *   reader can give the times it reads a zone with rules rather than the
 *   offset each text carries. *length 0: the backend has no session zone
 *   (the embedded engine). A library without the capability refuses it. */
#define QSCLI_CONN_TIME_ZONE 1214
/* Result kind: no result set / no return value */
#define QSCLI_RES_NONE (-1)

/* The twelve element types, in the order of their codes:
 * X(NAME, code, width, low, high), where width is the bytes a value takes in
 * a record (0 for CHAR and ARRA: their width is the field's len) and
 * low..high the integers a value written to an integer type may be (0, 0
 * for the other types). Writing keeps each type's extreme bit pattern out
 * (255 for BYTE, -32768 for INTR ...); a read takes every pattern. Each NAME
 * gives the constant QSCLI_ET_NAME. */
#define QSCLI_ELEMENT_TYPES(X)                       \
    X(CHAR, 0, 0, 0, 0)                              \
    X(ARRA, 1, 0, 0, 0)                              \
    X(BYTE, 2, 1, 0, 254)                            \
    X(INTR, 3, 2, -32767, 32767)                     \
    X(WORD, 4, 2, 0, 65534)                          \
    X(DATE, 5, 2, 0, 0)                              \
    X(NMBR, 6, 3, 0, 16777214)                       \
    X(LONG, 7, 4, -2147483647LL, 2147483647LL)       \
    X(DWRD, 8, 4, 0, 4294967294LL)                   \
    X(FLOA, 9, 4, 0, 0)                              \
    X(CURR, 10, 8, 0, 0)                             \
    X(DFLT, 11, 8, 0, 0)

/* The days a DATE value holds: 1 January of the first year to 31 December
 * of the last. */
#define QSCLI_DATE_FIRST_YEAR 1900
#define QSCLI_DATE_LAST_YEAR 2078

#define QSCLI_ET_CONSTANT(name, code, width, low, high) QSCLI_ET_##name = code,
enum { QSCLI_ELEMENT_TYPES(QSCLI_ET_CONSTANT) QSCLI_ET_COUNT };
#undef QSCLI_ET_CONSTANT

/* One result column as QSCLI_STMT_DST_INFO delivers it: 128 bytes,
 * little-endian, no padding. The three names are NUL-terminated when shorter
 * than their 32 bytes. */
#pragma pack(push, 1)
typedef struct ColStruct {
    int32_t aliasno;
    int32_t fieldno;
    int32_t type;
    uint32_t len;
    uint32_t off;
    char coder[32];
    char fname[32];
    int32_t func;
    char asname[32];
    int32_t key;
    int32_t resno;
} ColStruct_t;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(ColStruct_t) == 128, "ColStruct_t is 128 bytes");
#endif

/* Prototypes for a library that implements the entry points (the engine and
 * the test double). */
#ifdef QSCLI_DEFINE_PROTOTYPES
#ifdef __cplusplus
extern "C" {
#endif
#define QSCLI_PROTO_KEPT(name, params) QSCLI_EXPORT int QSCLI_CALL name params;
#define QSCLI_PROTO_DROPPED(name) QSCLI_EXPORT int QSCLI_CALL name(void);
QSCLI_ENTRY_POINTS(QSCLI_PROTO_KEPT, QSCLI_PROTO_DROPPED)
QSCLI_OPTIONAL_ENTRY_POINTS(QSCLI_PROTO_KEPT)
#undef QSCLI_PROTO_KEPT
#undef QSCLI_PROTO_DROPPED
#ifdef __cplusplus
}
#endif
#endif

#endif /* QSCLI_H */
