// A query's rows as a RowSource. A result that does not stream reads one
// result set of the statement to its end; the statement's other results are
// the caller's (server_results.cpp).
//
// Handed over as they come (QSCLI_ATTR_STREAM), the statement
// goes to the server as it would without the attribute (prepared, after its
// savepoint inside a transaction, in a pipeline there), its rows read a
// server row at a time as the common layer asks for them. The statement ends
// when its rows do; closing early reads what has already arrived and cancels
// a query still running, and a cancelled statement inside a transaction
// takes back only itself, like any failed one.
#include "../lexer.h"
#include "arrow.h"
#include "session.h"

namespace qse {
namespace pg {

bool streams_rows(const char* sql, size_t n) {
    Lexer lx(Dialect::Pg, sql, sql + n);
    Token t = lx.next_solid();
    // A WITH may change rows; those run to their end as they always did.
    if (!(t.word("select") || t.word("values") || t.word("table"))) return false;
    bool ended = false;
    for (t = lx.next_solid(); t.kind != Tok::End; t = lx.next_solid()) {
        if (t.kind == Tok::Semicolon) ended = true;
        else if (ended) return false;  // a second statement
    }
    return true;
}

using SetEnd = Session::SetEnd;

class Rows final : public RowSource {
public:
    // `set`: one result set read for the common builder, not a stream.
    Rows(Session& s, pq::PGresult* first, std::vector<MappedColumn> cols, std::vector<std::string> names, SetEnd* set)
        : s_(&s), res_(first), cols_(std::move(cols)), names_(std::move(names)), scratch_(cols_.size()), set_(set) {
        if (!set_) s.open_rows = this;
    }
    ~Rows() override {
        close();
        if (res_) pq().PQclear(res_);
    }
    int next(std::vector<Value>& row) override;
    void close() override;
    int arrow_schema(ArrowSchema* out) override;
    int arrow_batch(ArrowArray* out, uint64_t max_rows, uint64_t max_bytes, uint64_t* rows) override;
    // The session goes first (a lost or forked-away connection).
    void detach() { s_ = nullptr; }

private:
    const pq::Api& pq() const { return api_; }
    int read_row(std::vector<Value>& row);
    // 1 with a row of res_ at at_, 0 at the end, or the failure's code.
    int fill();
    int end(int code);
    ArrowBatch* arrow();

    Session* s_;
    const pq::Api& api_ = s_->pq;
    pq::PGresult* res_;
    int at_ = 0;  // the next row of res_
    bool done_ = false;
    std::vector<MappedColumn> cols_;
    std::vector<std::string> names_;  // UTF-8, for messages
    std::vector<std::string> scratch_;  // each column's decoded bytea
    std::string why_;
    SetEnd* set_;
    std::unique_ptr<ArrowBatch> arrow_;  // made when the rows are first asked for as Arrow
};

int Rows::read_row(std::vector<Value>& row) {
    const int n = static_cast<int>(cols_.size());
    row.resize(cols_.size());
    for (int k = 0; k < n; ++k) {
        if (pq().PQgetisnull(res_, at_, k)) {
            row[k] = Value();
            continue;
        }
        const char* p = pq().PQgetvalue(res_, at_, k);
        const size_t len = static_cast<size_t>(pq().PQgetlength(res_, at_, k));
        if (!decode_value(cols_[k], p, len, row[k], scratch_[k], &why_)) {
            int code = s_->c->fail(QSCLI_E_MISMATCH, "column " + names_[k] + ": " + why_);
            if (!set_) s_->discard_results();
            return end(code);
        }
    }
    ++at_;
    return 1;
}

int Rows::next(std::vector<Value>& row) {
    const int rc = fill();
    return rc == 1 ? read_row(row) : rc;
}

int Rows::fill() {
    if (done_) return 0;
    if (!s_) return QSCLI_E_IO;
    for (;;) {
        if (res_ && at_ < pq().PQntuples(res_)) return 1;
        if (res_) {
            const bool last = pq().PQresultStatus(res_) == pq::PGRES_TUPLES_OK;
            if (last && set_) {
                const char* tag = pq().PQcmdStatus(res_);
                set_->tag = tag ? tag : "";
                set_->tuples = pq().PQcmdTuples(res_);
            }
            pq().PQclear(res_);
            res_ = nullptr;
            if (last) return end(0);
        }
        res_ = pq().PQgetResult(s_->conn);
        at_ = 0;
        if (!res_) return end(0);
        const int status = pq().PQresultStatus(res_);
        if (status != pq::PGRES_SINGLE_TUPLE && status != pq::PGRES_TUPLES_CHUNK && status != pq::PGRES_TUPLES_OK) {
            pq::PGresult* failed = res_;
            res_ = nullptr;
            return end(s_->fail_result(failed));
        }
    }
}

ArrowBatch* Rows::arrow() {
    if (!arrow_ && s_) {
        const char* zone = pq().PQparameterStatus(s_->conn, "TimeZone");
        arrow_.reset(new ArrowBatch(cols_, names_, zone ? zone : ""));
    }
    return arrow_ && arrow_->usable() ? arrow_.get() : nullptr;
}

int Rows::arrow_schema(ArrowSchema* out) {
    if (set_ || done_ || !s_ || !arrow()) return QSCLI_E_UNSUPPORTED;
    return arrow_->schema(out);
}

int Rows::arrow_batch(ArrowArray* out, uint64_t max_rows, uint64_t max_bytes, uint64_t* rows) {
    out->release = nullptr;
    *rows = 0;
    if (done_) return 0;
    if (set_ || !s_ || !arrow()) return QSCLI_E_UNSUPPORTED;
    if (arrow_->begin(static_cast<int64_t>(std::min<uint64_t>(max_rows, 1u << 20))))
        return end(s_->c->fail(QSCLI_E_NOMEM, "out of memory"));
    while (static_cast<uint64_t>(arrow_->rows()) < max_rows && arrow_->bytes() < max_bytes) {
        const int rc = fill();
        if (rc == 0) break;
        if (rc < 0) return rc;
        const int take = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(pq().PQntuples(res_) - at_),
                                                             max_rows - static_cast<uint64_t>(arrow_->rows())));
        if (int code = arrow_->add(pq(), res_, at_, take, &why_)) {
            code = s_->c->fail(code, code == QSCLI_E_MISMATCH ? why_ : "out of memory");
            s_->discard_results();
            return end(code);
        }
        at_ += take;
    }
    *rows = static_cast<uint64_t>(arrow_->rows());
    if (*rows == 0) return 0;
    if (int rc = arrow_->finish(out)) return s_ ? end(s_->c->fail(rc, "out of memory")) : rc;
    return 0;
}

void Rows::close() {
    if (done_ || !s_) return;
    if (s_->c->inherited()) {
        // A forked child's copy (its cursor closed or collected): the query
        // and the socket are the parent's, which reads on. Nothing is read,
        // cancelled or sent.
        s_->abandon();
        s_ = nullptr;
        done_ = true;
        return;
    }
    if (res_) pq().PQclear(res_);
    res_ = nullptr;
    if (!set_) s_->discard_results();
    end(0);
}

int Rows::end(int code) {
    done_ = true;
    if (set_) return code;  // the rest is the caller's
    Session* s = s_;
    s_ = nullptr;
    s->open_rows = nullptr;
    // What follows the rows up to the end of the statement's results.
    while (pq::PGresult* r = pq().PQgetResult(s->conn)) {
        const int status = pq().PQresultStatus(r);
        if (!code && status != pq::PGRES_TUPLES_OK && status != pq::PGRES_COMMAND_OK) code = s->fail_result(r);
        else pq().PQclear(r);
    }
    return s->finish_statement(code);
}

std::unique_ptr<RowSource> Session::hand_over(pq::PGresult* first, std::vector<MappedColumn> cols,
                                              std::vector<std::string> names, SetEnd* set) {
    return std::unique_ptr<RowSource>(new Rows(*this, first, std::move(cols), std::move(names), set));
}

void Session::detach_rows() {
    if (open_rows) open_rows->detach();
    open_rows = nullptr;
    detach_copy();
}

void Session::discard_results() {
    // Rows already here are read without waiting (input is taken once: a
    // server sending fast would keep a loop of reads busy); a query still
    // running is cancelled rather than read to its end.
    bool ended = false;
    if (pq.PQconsumeInput(conn)) {
        while (!ended && !pq.PQisBusy(conn)) {
            pq::PGresult* r = pq.PQgetResult(conn);
            if (r) pq.PQclear(r);
            else ended = true;
        }
    }
    if (!ended) {
        cancel();
        while (pq::PGresult* r = pq.PQgetResult(conn)) pq.PQclear(r);
    }
    check_lost();
}

int Session::finish_statement(int code) {
    const Sent sent = sent_;
    sent_ = Sent();
    if (sent.pipelined) {
        // What is left up to the end of the flight (skipped results, the sync).
        for (int nulls = 0; nulls < 2 && !lost_;) {
            pq::PGresult* res = pq.PQgetResult(conn);
            if (!res) {
                ++nulls;
                check_lost();
                continue;
            }
            const bool sync = pq.PQresultStatus(res) == pq::PGRES_PIPELINE_SYNC;
            pq.PQclear(res);
            if (sync) break;
            nulls = 0;
        }
        if (!lost_) pq.PQexitPipelineMode(conn);
    }
    check_lost();
    if (lost_) return code ? code : fail_conn("statement");
    if (sent.guarded) {
        const int status = pq.PQtransactionStatus(conn);
        if (status == pq::PQTRANS_INERROR) take_back_statement();
        else guarded_ = status == pq::PQTRANS_INTRANS;
    }
    return code;
}

}  // namespace pg
}  // namespace qse
