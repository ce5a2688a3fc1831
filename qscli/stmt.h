// A statement handle and the result it holds.
#pragma once

#include "backend.h"
#include "elemtype.h"
#include "qscli_api.h"
#include "records.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qse {

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
    bool stream = false;  // QSCLI_ATTR_STREAM: a query may hand its rows over in `source`
    // The rows still to come of a streamed result (backend.h), null once
    // they have all been made or the stream has ended.
    std::unique_ptr<RowSource> source;
    int64_t changes = -1;
    int64_t last_rowid = 0;
    std::string error;  // the last failure's text (UTF-8), empty after a success
    std::string gone;   // why the server ended its connection, said again on each use

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


}  // namespace qse
