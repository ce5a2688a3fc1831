// Streamed results (QSCLI_ATTR_STREAM), the same on every backend: the
// records of a query a RowSource (backend.h) gives are made a batch at a
// time as they are read, each batch with the widths of its own variable
// values. The drain rule lives here: anything else a connection runs first
// reads its open streams to their ends.
#pragma once

#include "conn.h"
#include "record_packer.h"

#include <vector>

namespace qse {

// How the records of a stream's batches are made from its columns, worked
// out once: a backend keeps it beside the columns it describes (the same
// columns, the same plan), so a statement run again sets none of it up.
struct BatchPlan {
    bool ready = false;  // worked out, for records with `null_flags`
    int null_flags = 0;
    bool fixed = true;   // no column is measured per batch: rows are packed as they come
    std::vector<size_t> varying;  // the variable columns
    uint64_t fixed_bytes = 0;     // what the others and the trailer take of a record
    // Rows of fixed widths: their records laid out, the same in every batch.
    bool laid = false;
    std::vector<ColStruct_t> desc;
    RecordShape shape;
};

// After a backend's exec left st->source: the result's description and its
// first, small batch. A backend calls it itself when it must know before it
// returns whether rows remain; qcSqlExecDirect does otherwise. 0 or a code.
int stream_start(Conn* c, Stmt* st);
// The same for a backend that keeps its columns and their plan itself: the
// first batch is made from `source` (st->source stays empty) by `columns`
// and `plan`, worked out now when it is not ready; st->desc gets the
// result's layout. The source is closed when its rows ended within that
// batch or failed; otherwise the backend sets st->streamed.columns to
// `columns` and hands the source over to st->source before it returns, for
// the batches that follow. A point query so copies its columns once.
int stream_start(Conn* c, Stmt* st, RowSource& source, const std::vector<ColStruct_t>& columns, BatchPlan& plan);
// A result that does not stream: `source` read to its end (and closed) into
// the statement's records, one layout for all of them (each variable column
// as wide as its widest value). `columns` as st->desc for a stream (a
// separate vector: st->desc becomes the result's); `inferred` marks the
// columns (their type in desc a placeholder) whose type the values decide:
// any bytes ARRA, else any text CHAR, else any number past 32 bits DFLT (or
// INT64 when asked for), else LONG. A failure is reported and returned.
int read_result(Conn* c, Stmt* st, RowSource& source, const std::vector<ColStruct_t>& columns,
                const std::vector<bool>& inferred);
// Whether qcSqlReadResults of record `start` of st's stream is answered
// from the batch at hand (a record before it is refused there too).
inline bool stream_holds(const Stmt* st, uint64_t start) {
    return start < st->streamed.first + st->streamed.count;
}
// qcSqlReadResults on a streamed result.
int stream_read(Conn* c, Stmt* st, uint64_t start, void* buf, unsigned size, unsigned* delivered);
// Reads the rest of st's stream into one batch, read after the current one.
void stream_drain(Conn* c, Stmt* st);
// "column NAME: ", which the refusal of a value of column `d` starts with.
std::string column_label(const ColStruct_t& d);
// The drain rule: every open stream of the connection, before it runs
// anything else.
void drain_streams(Conn* c);

}  // namespace qse
