// Prepared statements of one SQLite connection, reused by their text.
#pragma once

#include "elemtype.h"
#include "qscli_api.h"
#include "sqltext.h"
#include "stmt_handle.h"
#include "stream.h"

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qse {

// A query's result columns as the common builder takes them (stream.h).
struct ResultColumns {
    std::vector<ColStruct_t> desc;  // a variable CHAR or ARRA column has len 0
    // Each column's whole name (UTF-8), as desc names it; shared with the
    // results read through these columns.
    std::shared_ptr<const std::vector<std::string>> names;
    std::vector<bool> inferred;     // columns whose type their values decide
    bool declared = true;           // no column is inferred
    BatchPlan plan;                 // a stream's batches of these columns
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
        // Whether running it can change no schema: -1 not yet known
        // (write_check.cpp).
        int schema_safe = -1;
        // What it answers with (runner.cpp): -1 not yet known, 0 nothing, 1
        // the rows an insert changed, 2 those an update or delete did.
        int changes_kind = -1;
        // Result columns as last described, valid while SQLite has not
        // prepared the statement afresh (its reprepare count is the same).
        int described_at = -1;
        bool described_int64 = false;
        ResultColumns columns;
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
    // A text parameterize() turned into a key: *key (with its hash) and the
    // literals in lits_room, read through the shape of a text met recently
    // when it has one (a loop's statement: its key and hash are the shape's),
    // else lexed and its shape kept. False when the text is not one to
    // parameterize.
    bool parameterized(const char* s, size_t n, const std::string** key, uint64_t* hash);
    // Room for parameterized()'s key and literals, kept so that a loop's
    // statement allocates none. The key and the literals are read only until
    // the statement runs: one a callback runs meanwhile may take them over.
    std::string key_room;
    std::vector<Literal> lits_room;

private:
    // The shapes of the last few texts parameterized, so that statements
    // that take turns keep theirs.
    static constexpr size_t SHAPES = 4;
    TextShape shapes_[SHAPES];
    uint64_t shape_hashes_[SHAPES] = {};  // the hash of each shape's key
    size_t next_shape_ = 0;
    std::vector<const char*> spans_;

    std::vector<std::unique_ptr<Entry>> entries_;
    uint64_t clock_ = 0;
    static constexpr size_t CAPACITY = 96;
};

}  // namespace qse
