// The data of a COPY ... TO STDOUT, handed to the caller as it comes
// (qcSqlCopyOut). The statement goes to the server as any other (after its
// savepoint inside a transaction) and ends when its data does; ending it
// early reads what has already arrived and cancels a COPY still sending.
#include "session.h"

#include <cstring>

namespace qse {
namespace pg {

class CopyData final : public CopyOut {
public:
    explicit CopyData(Session& s) : s_(&s) { s.open_copy = this; }
    ~CopyData() override { close(); }
    int read(char* buf, unsigned size, unsigned* length) override;
    // The session goes first (a lost or forked-away connection).
    void detach() { s_ = nullptr; }

private:
    void close();
    int end(int code);
    void drop_piece();

    Session* s_;
    const pq::Api& pq_ = s_->pq;
    char* piece_ = nullptr;  // a line libpq gave, not yet all delivered
    unsigned piece_len_ = 0, at_ = 0;
    bool done_ = false;
};

void CopyData::drop_piece() {
    if (piece_) pq_.PQfreemem(piece_);
    piece_ = nullptr;
}

int CopyData::read(char* buf, unsigned size, unsigned* length) {
    *length = 0;
    if (done_) return 0;
    if (!s_) return QSCLI_E_IO;
    unsigned n = 0;
    while (n < size) {
        if (piece_) {
            const unsigned take = size - n < piece_len_ - at_ ? size - n : piece_len_ - at_;
            std::memcpy(buf + n, piece_ + at_, take);
            n += take;
            at_ += take;
            if (at_ == piece_len_) drop_piece();
            continue;
        }
        char* p = nullptr;
        const int got = pq_.PQgetCopyData(s_->conn, &p, 0);
        if (got > 0) {
            piece_ = p;
            piece_len_ = static_cast<unsigned>(got);
            at_ = 0;
        } else if (got == -1) {  // the data has ended: the COPY's outcome follows
            if (int rc = end(0)) return rc;
            break;
        } else {
            return end(s_->fail_conn("COPY"));
        }
    }
    *length = n;
    return 0;
}

int CopyData::end(int code) {
    done_ = true;
    drop_piece();
    Session* s = s_;
    s_ = nullptr;
    s->open_copy = nullptr;
    while (pq::PGresult* r = pq_.PQgetResult(s->conn)) {
        if (!code && pq_.PQresultStatus(r) != pq::PGRES_COMMAND_OK) code = s->fail_result(r);
        else pq_.PQclear(r);
    }
    return s->finish_statement(code);
}

void CopyData::close() {
    if (done_ || !s_) return;
    drop_piece();
    if (s_->c->inherited()) {
        // A forked child's copy: the COPY and the socket are the parent's.
        s_->abandon();
        s_ = nullptr;
        done_ = true;
        return;
    }
    // What has arrived is read without waiting; a COPY still sending is
    // cancelled rather than read to its end.
    bool ended = false;
    char* p = nullptr;
    if (pq_.PQconsumeInput(s_->conn)) {
        for (int got; !ended && (got = pq_.PQgetCopyData(s_->conn, &p, 1)) != 0;) {
            if (got > 0) pq_.PQfreemem(p);
            else ended = true;
        }
    }
    if (!ended) {
        s_->cancel();
        for (int got; (got = pq_.PQgetCopyData(s_->conn, &p, 0)) > 0;) pq_.PQfreemem(p);
    }
    // Its outcome (cancelled, most likely) is nobody's: inside a
    // transaction the statement is taken back, as a failed one is.
    while (pq::PGresult* r = pq_.PQgetResult(s_->conn)) pq_.PQclear(r);
    end(0);
}

std::unique_ptr<CopyOut> Session::copy_data() { return std::unique_ptr<CopyOut>(new CopyData(*this)); }

void Session::detach_copy() {
    if (open_copy) open_copy->detach();
    open_copy = nullptr;
}

int Session::copy_out(Stmt* st, const char* sql) {
    BusyGuard held_stmt(st->busy), held_conn(c->busy);
    MessageHold held(c);
    if (lost_) return c->fail(QSCLI_E_IO, "server connection lost");
    if (!pq.PQconsumeInput(conn)) return fail_conn("server connection");
    deliver_notifications();
    if (int rc = keep_settings()) return rc;
    sent_ = Sent();
    state_before_ = transaction_state();
    copy_wanted_ = true;
    const int rc = run_guarded(st, to_utf8(sql, std::strlen(sql)));
    copy_wanted_ = false;
    return rc;
}

}  // namespace pg
}  // namespace qse
