// A statement's results from the server. Rows arrive one (or a chunk) at a
// time and are packed into the statement's record store at once, so the
// client holds one row of the server's and the store's budget of records;
// the record count is exact before the first read. A query that may stream
// hands its rows over at its first result instead (rows.cpp).
#include "result.h"
#include "stage.h"
#include "session.h"

#include <cstdlib>
#include <cstring>

namespace qse {
namespace pg {

namespace {

// UTF-8 characters in n bytes: a text's width in CP866.
uint64_t chars_of(const char* p, size_t n) {
    uint64_t c = 0;
    for (size_t k = 0; k < n; ++k) c += (static_cast<unsigned char>(p[k]) & 0xC0) != 0x80;
    return c;
}

// Packs the rows of one result set as they arrive.
class Builder {
public:
    Builder(Session& s, Stmt* st) : s_(s), st_(st), packer_(st) {}
    bool started() const { return started_; }
    // The columns and their names, from the first result.
    int begin(const pq::PGresult* res);
    // Rows may be handed over as they come: every column's type is known
    // before its values.
    bool streams() const;
    std::unique_ptr<RowSource> hand_over(pq::PGresult* first);
    int start_packing();
    int add(const pq::PGresult* res);
    int finish();

private:
    int fail_value(int k, const std::string& why) {
        return s_.c->fail(QSCLI_E_MISMATCH, "column " + names_[k] + ": " + why);
    }
    int fail_store() { return s_.c->fail(QSCLI_E_IO, "cannot keep the result records"); }
    int layout();
    int pack(int k, const char* p, size_t n, bool null, unsigned char* rec);
    int stage(const pq::PGresult* res, int r);
    int pack_staged();

    Session& s_;
    Stmt* st_;
    RecordPacker packer_;
    bool started_ = false;
    bool staged_ = false;
    int ncols_ = 0;
    std::vector<Column> cols_;
    std::vector<std::string> names_;  // UTF-8, for messages
    RecordStore stage_;
    uint64_t rows_ = 0;
    std::string scratch_, why_, row_;
};

int Builder::begin(const pq::PGresult* res) {
    started_ = true;
    const pq::Api& pq = s_.pq;
    ncols_ = pq.PQnfields(res);
    cols_.resize(static_cast<size_t>(ncols_));
    names_.resize(static_cast<size_t>(ncols_));
    st_->clear_result();
    st_->desc.assign(static_cast<size_t>(ncols_), ColStruct_t());
    for (int k = 0; k < ncols_; ++k) {
        pq::Oid table = pq.PQftable(res, k);
        Column& c = cols_[k];
        c = map_column(pq.PQftype(res, k), pq.PQfmod(res, k), table != 0, st_->int64);
        if (c.var || c.infer_int) staged_ = true;
        const char* name = pq.PQfname(res, k);
        names_[k] = name ? name : "?";
        ColStruct_t& d = st_->desc[k];
        std::memset(&d, 0, sizeof d);
        copy_name(d.fname, utf8_to_cp866_lossy(names_[k].c_str()));
        copy_name(d.coder, utf8_to_cp866_lossy(type_label(c.oid, c.mod).c_str()));
        d.fieldno = k;
        d.func = table == 0;
    }
    return 0;
}

bool Builder::streams() const {
    for (const Column& c : cols_)
        if (c.infer_int) return false;
    return true;
}

std::unique_ptr<RowSource> Builder::hand_over(pq::PGresult* first) {
    for (int k = 0; k < ncols_; ++k) {
        ColStruct_t& d = st_->desc[k];
        d.type = cols_[k].type;
        d.len = cols_[k].var ? 0 : cols_[k].len;  // measured per batch
    }
    return s_.hand_over(first, std::move(cols_), std::move(names_));
}

int Builder::start_packing() {
    if (staged_) {
        stage_.reset(1);
        return 0;
    }
    return layout();
}

int Builder::layout() {
    for (int k = 0; k < ncols_; ++k) {
        Column& c = cols_[k];
        if (c.infer_int) {
            c.type = c.big ? QSCLI_ET_DFLT : QSCLI_ET_LONG;
            c.len = natural_width(c.type);
        } else if (c.var) {
            c.len = c.max_len > 0x7fffffffu ? 0x7fffffffu : (c.max_len ? static_cast<uint32_t>(c.max_len) : 1);
        }
        ColStruct_t& d = st_->desc[k];
        d.type = c.type;
        d.len = c.len;
    }
    return packer_.lay_out(s_.c);
}

int Builder::pack(int k, const char* p, size_t n, bool null, unsigned char* rec) {
    Value v;
    if (!null && !decode_value(cols_[k], p, n, v, scratch_, &why_)) return fail_value(k, why_);
    return packer_.put(k, v, rec, &why_) ? 0 : fail_value(k, why_);
}

int Builder::stage(const pq::PGresult* res, int r) {
    const pq::Api& pq = s_.pq;
    row_.clear();
    for (int k = 0; k < ncols_; ++k) {
        Column& c = cols_[k];
        Value v;
        if (!pq.PQgetisnull(res, r, k)) {
            const char* p = pq.PQgetvalue(res, r, k);
            const size_t n = static_cast<size_t>(pq.PQgetlength(res, r, k));
            if (!decode_value(c, p, n, v, scratch_, &why_)) return fail_value(k, why_);
            if (c.var) {
                const uint64_t w = v.kind == VKind::Blob ? v.n : chars_of(p, n);
                if (w > c.max_len) c.max_len = w;
            } else if (c.infer_int && (v.i < INT32_MIN || v.i > INT32_MAX)) {
                c.big = true;
            }
        }
        stage_value(v, row_);
    }
    if (!stage_.append_bytes(row_.data(), row_.size())) return fail_store();
    ++rows_;
    return 0;
}

int Builder::add(const pq::PGresult* res) {
    const pq::Api& pq = s_.pq;
    int n = pq.PQntuples(res);
    for (int r = 0; r < n; ++r) {
        if (staged_) {
            if (int rc = stage(res, r)) return rc;
            continue;
        }
        unsigned char* rec = packer_.new_record();
        if (!rec) return fail_store();
        for (int k = 0; k < ncols_; ++k) {
            bool null = pq.PQgetisnull(res, r, k);
            const char* p = pq.PQgetvalue(res, r, k);
            if (int rc = pack(k, p, static_cast<size_t>(pq.PQgetlength(res, r, k)), null, rec)) return rc;
        }
        ++rows_;
    }
    return 0;
}

int Builder::pack_staged() {
    if (!stage_.finish()) return fail_store();
    if (int rc = layout()) return rc;
    StageReader in(stage_);
    for (uint64_t r = 0; r < rows_; ++r) {
        unsigned char* rec = packer_.new_record();
        if (!rec) return fail_store();
        for (int k = 0; k < ncols_; ++k) {
            Value v;
            if (!unstage_value(in, v)) return fail_store();
            if (!packer_.put(k, v, rec, &why_)) return fail_value(k, why_);
        }
    }
    stage_.clear();
    return 0;
}

int Builder::finish() {
    if (staged_) {
        if (int rc = pack_staged()) return rc;
    }
    if (!st_->records.finish()) return fail_store();
    if (rows_ > static_cast<uint64_t>(INT32_MAX))
        return s_.c->fail(QSCLI_E_TOOBIG, "result has more than 2147483647 records");
    st_->rows = rows_;
    st_->ncols = ncols_;
    st_->results = true;
    st_->sab_type = 1;
    return 0;
}

bool changes_rows(const char* tag) {
    return std::strncmp(tag, "INSERT ", 7) == 0 || std::strncmp(tag, "UPDATE ", 7) == 0 ||
           std::strncmp(tag, "DELETE ", 7) == 0 || std::strncmp(tag, "MERGE ", 6) == 0;
}

void set_changes(Stmt* st, int64_t n) {
    st->changes = n;
    if (n >= INT32_MIN && n <= INT32_MAX) {
        int32_t v = static_cast<int32_t>(n);
        st->rc_type = QSCLI_ET_LONG;
        st->rc_body.assign(reinterpret_cast<unsigned char*>(&v), reinterpret_cast<unsigned char*>(&v) + 4);
    } else {
        double d = static_cast<double>(n);
        st->rc_type = QSCLI_ET_DFLT;
        st->rc_body.assign(reinterpret_cast<unsigned char*>(&d), reinterpret_cast<unsigned char*>(&d) + 8);
    }
}

}  // namespace

int Session::run_statement(Stmt* st, const std::string& sql) {
    if (!pq.PQsendQuery(conn, sql.c_str())) return fail_conn("cannot send the statement");
    return collect(st);
}

void Session::cancel_if_asked() {
    // A cancel that reached the server before the statement did was dropped
    // there (an idle session ignores one): asked again, now it runs.
    if (c->cancel_requested()) cancel();
}

int Session::collect(Stmt* st) {
    cancel_if_asked();
    // Rows a chunk at a time where libpq can, else one at a time: never the
    // whole result in the client.
    if (pq.PQsetChunkedRowsMode) pq.PQsetChunkedRowsMode(conn, 256);
    else pq.PQsetSingleRowMode(conn);
    std::unique_ptr<Builder> b;
    int code = 0;
    while (pq::PGresult* res = pq.PQgetResult(conn)) {
        int status = pq.PQresultStatus(res);
        switch (status) {
        case pq::PGRES_SINGLE_TUPLE:
        case pq::PGRES_TUPLES_CHUNK:
        case pq::PGRES_TUPLES_OK:
            if (!code) {
                if (!b) b.reset(new Builder(*this, st));
                if (!b->started()) {
                    code = b->begin(res);
                    if (!code && may_stream_ && b->streams()) {
                        st->source = b->hand_over(res);
                        return 0;
                    }
                    if (!code) code = b->start_packing();
                }
                if (!code) code = b->add(res);
                if (!code && status == pq::PGRES_TUPLES_OK) {
                    code = b->finish();
                    b.reset();
                    const char* tag = pq.PQcmdStatus(res);
                    if (!code && tag && changes_rows(tag)) set_changes(st, std::atoll(pq.PQcmdTuples(res)));
                }
            }
            pq.PQclear(res);
            break;
        case pq::PGRES_COMMAND_OK:
            if (!code) {
                st->clear_result();
                const char* tag = pq.PQcmdStatus(res);
                if (tag && changes_rows(tag)) set_changes(st, std::atoll(pq.PQcmdTuples(res)));
            }
            pq.PQclear(res);
            break;
        case pq::PGRES_COPY_IN:
            pq.PQclear(res);
            pq.PQputCopyEnd(conn, "COPY FROM STDIN is not supported here: use qcSqlAddRecords");
            break;
        case pq::PGRES_COPY_OUT: {
            pq.PQclear(res);
            char* buf = nullptr;
            while (pq.PQgetCopyData(conn, &buf, 0) > 0) pq.PQfreemem(buf);
            if (!code) code = c->fail(QSCLI_E_ERROR, "COPY TO STDOUT is not supported here: select the rows");
            break;
        }
        case pq::PGRES_EMPTY_QUERY: pq.PQclear(res); break;
        default: {
            int rc = fail_result(res);
            if (!code) code = rc;
            break;
        }
        }
    }
    check_lost();
    if (!code && lost_) code = fail_conn("statement");
    if (code) st->clear_result();
    return code;
}

}  // namespace pg
}  // namespace qse
