// A statement handle and the result it holds.
#pragma once

#include "backend.h"
#include "elemtype.h"
#include "qscli_api.h"
#include "records.h"
#include "value.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace qse {

struct Conn;

// Records packed apart from a statement's own: a streamed result's rest.
struct Batch {
    std::vector<ColStruct_t> desc;
    uint32_t rec_size = 0;
    RecordStore records;
    uint64_t count = 0;
};

// Where a streamed result stands (stream.cpp). Its current batch is the
// statement's own desc, rec_size and records.
struct Streamed {
    bool on = false;        // the result came from a RowSource
    bool complete = false;  // the source reached its end: Stmt::rows is exact
    bool finished = false;  // every batch has been read
    bool making = false;    // a batch is being made (a callback's statement may run)
    std::vector<ColStruct_t> columns;  // as the backend described them
    uint64_t first = 0;                // the current batch's first record
    uint64_t count = 0;                // and its records
    uint64_t made = 0;                 // records made in all batches
    std::string carry;                 // a staged row left for the next batch
    std::vector<uint64_t> carry_widths;
    int error = 0;  // a failure met after the records made, for the read that reaches it
    std::string error_text;
    // The rest, read ahead when the connection ran something else: batches
    // of the stream's own size, each as wide as its own longest value.
    std::deque<Batch> rest;
    std::vector<Value> row;  // room for the row a batch is being made from

    // Back to a new one's state, keeping the room of its vectors and
    // strings: a loop's queries allocate none for them.
    void reset();
};

struct Stmt {
    int handle = 0;
    Conn* conn = nullptr;  // null once the connection is gone
    bool text_utf8 = false;  // its connection's QSCLI_ATTR_TEXT_UTF8, kept for its error text
    int busy = 0;
    int verbose = 0;

    // The result of the last statement executed.
    int ncols = QSCLI_RES_NONE;
    uint64_t rows = 0;
    uint32_t rec_size = 0;
    bool results = false;  // a result set exists (readable until closed)
    int sab_type = 0;
    std::vector<ColStruct_t> desc;
    // QSCLI_STMT_COL_NAMES: each column's whole name (UTF-8), shared with
    // the described columns it came from; null when none were given.
    std::shared_ptr<const std::vector<std::string>> names;
    std::vector<int32_t> types;  // QSCLI_ATTR_SERVER_TYPES: the server's type and modifier of each column
    RecordStore records;
    int rc_type = QSCLI_RES_NONE;
    std::vector<unsigned char> rc_body;
    // Optional capabilities (qscli.h): records end with null flags (1), and
    // then with the lengths of the ARRA values (2); the last statement's
    // changed rows (-1: not a row change) and inserted row id.
    int null_flags = 0;
    bool int64 = false;  // QSCLI_ATTR_INT64: 64-bit integer columns as QSCLI_ET_INT64
    bool stream = false;  // QSCLI_ATTR_STREAM: a query may hand its rows over in `source`
    bool server_types = false;  // QSCLI_ATTR_SERVER_TYPES: exact values as text, types told
    // The rows still to come of a streamed result (backend.h), null once
    // they have all been made or the stream has ended.
    std::unique_ptr<RowSource> source;
    Streamed streamed;
    // The data of a COPY ... TO STDOUT still to come (qcSqlCopyOut);
    // `copy_cut`: one ended before its data did.
    std::unique_ptr<CopyOut> copy;
    bool copy_cut = false;
    int64_t changes = -1;
    int64_t last_rowid = 0;
    std::string error;  // the last failure's text (UTF-8), empty after a success
    std::string gone;   // why the server ended its connection, said again on each use

    // Forgets the result; a stream ends early.
    void clear_result();
    // A row change's count of changed rows, and its return value: LONG when
    // it fits 32 bits, else DFLT.
    void set_changes(int64_t n);
    // Ends a stream early: no more records are made.
    void end_stream();
    // qcSqlRowCount: -1 while a streamed result's end is still to come.
    int64_t row_count() const {
        return streamed.on && !streamed.complete ? -1 : static_cast<int64_t>(rows);
    }
    // Bytes of null flags a record of `ncols` columns ends with.
    uint32_t flag_bytes(int ncols) const { return null_flags ? static_cast<uint32_t>((ncols + 7) / 8) : 0; }
    bool arra_lengths() const { return null_flags == 2; }
    // The forms its QXTBLSTRUCT rows give fields in.
    FieldForms forms() const { return FieldForms{int64, server_types}; }
};

}  // namespace qse
