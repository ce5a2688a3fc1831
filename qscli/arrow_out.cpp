// qcSqlReadArrow over a streamed result (see arrow_out.h).
#include "arrow_out.h"

#include <algorithm>

namespace qse {

namespace {

// Records are numbered by a signed 32-bit start, Arrow rows with them.
constexpr uint64_t RECORD_LIMIT = 0x7fffffffu;

// The source is done with: the result ends after what was delivered.
void end_source(Stmt* st) {
    if (st->source) st->source->close();
    st->source.reset();
    st->streamed.finished = true;
    st->records.clear();
}

}  // namespace

int stream_arrow(Conn* c, Stmt* st, uint64_t start, uint64_t max_rows, uint64_t max_bytes, ArrowSchema* schema,
                 ArrowArray* array, int32_t* rows) {
    Streamed& s = st->streamed;
    if (!s.on || !c->text_utf8) return QSCLI_E_UNSUPPORTED;
    if (schema) {
        if (!st->source) return QSCLI_E_UNSUPPORTED;
        if (int rc = st->source->arrow_schema(schema)) return rc;
    }
    if (!array) return 0;
    array->release = nullptr;
    const uint64_t end = s.first + s.count;
    if (start < s.first || start > end || max_rows == 0) return QSCLI_E_ARGUMENT;
    // Records made before are read as records.
    if (start < end) return static_cast<int>(std::min<uint64_t>(end - start, RECORD_LIMIT));
    if (s.finished) return 0;
    // Rows read ahead as records (the connection ran something else), or a
    // failure waiting behind the records: the reader takes the next batch as
    // records, through the read of 0 bytes that starts it.
    if (!s.rest.empty() || !s.carry.empty() || s.error || !st->source) return 1;
    if (s.made >= RECORD_LIMIT) {
        end_source(st);
        return c->fail(QSCLI_E_TOOBIG, "result has more than 2147483647 records");
    }
    BusyGuard held_stmt(st->busy), held_conn(c->busy);
    uint64_t got = 0;
    const int rc = st->source->arrow_batch(array, std::min(max_rows, RECORD_LIMIT - s.made), max_bytes, &got);
    if (rc == QSCLI_E_UNSUPPORTED) return rc;
    s.first = end + got;
    s.count = 0;
    s.made += got;
    if (rc || got == 0) {
        end_source(st);
        if (!rc) {
            s.complete = true;
            st->rows = s.made;
        }
        return rc;
    }
    *rows = static_cast<int32_t>(got);
    return 0;
}

}  // namespace qse
