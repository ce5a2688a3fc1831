// The statement cache: prepared statements of one connection kept by their
// text, and the result a statement handle holds.
#include "db.h"
#include "lexer.h"

namespace qse {

uint64_t StmtCache::hash_of(const char* s, size_t n) {
    // Eight bytes a step; only this process compares the hashes.
    uint64_t h = 1469598103934665603ull ^ n;
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        uint64_t w;
        std::memcpy(&w, s + k, 8);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, s + k, n - k);
    h = (h ^ tail) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 32);
}

StmtCache::Entry* StmtCache::checkout(const char* s, size_t n, uint64_t h) {
    for (auto& e : entries_) {
        if (e->hash == h && !e->out && e->key.size() == n && std::memcmp(e->key.data(), s, n) == 0) {
            e->out = true;
            e->used = ++clock_;
            return e.get();
        }
    }
    return nullptr;
}

StmtCache::Entry* StmtCache::add(const char* s, size_t n, uint64_t h, sqlite3_stmt* st) {
    Entry* slot = nullptr;
    if (entries_.size() < CAPACITY) {
        entries_.emplace_back(new Entry);
        slot = entries_.back().get();
    } else {
        for (auto& e : entries_)
            if (!e->out && (!slot || e->used < slot->used)) slot = e.get();
        if (!slot) return nullptr;
        sqlite3_finalize(slot->stmt);
        *slot = Entry();
    }
    slot->key.assign(s, n);
    slot->hash = h;
    slot->stmt = st;
    slot->out = true;
    slot->used = ++clock_;
    return slot;
}

void StmtCache::checkin(Entry* e) {
    sqlite3_reset(e->stmt);
    e->out = false;
}

void StmtCache::clear() {
    for (auto& e : entries_) sqlite3_finalize(e->stmt);
    entries_.clear();
    for (TextShape& shape : shapes_) shape.forget();
}

bool StmtCache::parameterized(const char* s, size_t n, const std::string** key, uint64_t* hash) {
    for (size_t k = 0; k < SHAPES; ++k) {
        if (shapes_[k].read(Dialect::Engine, s, n, lits_room)) {
            *key = &shapes_[k].key();
            *hash = shape_hashes_[k];
            return true;
        }
    }
    if (!parameterize(Dialect::Engine, s, n, key_room, lits_room, &spans_)) return false;
    *key = &key_room;
    *hash = hash_of(key_room.data(), key_room.size());
    if (shapes_[next_shape_].learn(s, n, key_room, lits_room, spans_)) {
        shape_hashes_[next_shape_] = *hash;
        next_shape_ = (next_shape_ + 1) % SHAPES;
    }
    return true;
}

sqlite3_stmt* prepare_cached(Db* c, const std::string& sql, StmtCache::Entry** entry) {
    uint64_t h = StmtCache::hash_of(sql.data(), sql.size());
    *entry = c->cache.checkout(sql.data(), sql.size(), h);
    if (*entry) return (*entry)->stmt;
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v3(c->db, sql.c_str(), static_cast<int>(sql.size()),
                                SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    if (rc != SQLITE_OK) {
        c->fail_sqlite(rc);
        return nullptr;
    }
    *entry = c->cache.add(sql.data(), sql.size(), h, s);
    return s;
}

void release_cached(Db* c, sqlite3_stmt* s, StmtCache::Entry* entry) {
    if (entry) c->cache.checkin(entry);
    else sqlite3_finalize(s);
}

}  // namespace qse
