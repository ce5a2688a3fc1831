// A statement's results from the server. Rows arrive a chunk (or one) at a
// time and the common builder (stream.cpp) packs each result set from a
// RowSource over them (rows.cpp) as they come, so the client holds a chunk
// of the server's rows and the store's budget of records; the record count
// is exact before the first read. A query that may stream hands its rows
// over at its first result instead.
#include "../record_packer.h"
#include "../stream.h"
#include "session.h"

#include <cstdlib>
#include <cstring>

namespace qse {
namespace pg {

namespace {

// The columns of a result set, from its first result: their names and
// types in st->desc as the common builder takes them.
struct Columns {
    std::vector<MappedColumn> cols;
    std::vector<std::string> names;  // UTF-8, for messages
    std::vector<bool> inferred;
    bool streams = true;  // every column's type is known before its values
};

Columns describe(Session& s, Stmt* st, const pq::PGresult* res) {
    const pq::Api& pq = s.pq;
    const int ncols = pq.PQnfields(res);
    Columns out;
    out.cols.resize(static_cast<size_t>(ncols));
    out.names.resize(static_cast<size_t>(ncols));
    out.inferred.resize(static_cast<size_t>(ncols));
    st->clear_result();
    st->desc.assign(static_cast<size_t>(ncols), ColStruct_t());
    auto names = std::make_shared<std::vector<std::string>>(static_cast<size_t>(ncols));
    for (int k = 0; k < ncols; ++k) {
        pq::Oid table = pq.PQftable(res, k);
        MappedColumn& c = out.cols[k];
        c = map_column(pq.PQftype(res, k), pq.PQfmod(res, k), table != 0, st->int64);
        if (st->server_types) {
            c = exact_column(c);
            st->types.push_back(static_cast<int32_t>(c.oid));
            st->types.push_back(c.mod);
        }
        const char* name = pq.PQfname(res, k);
        out.names[k] = name ? name : "?";
        (*names)[k] = out.names[k];
        out.inferred[k] = c.infer_int;
        out.streams = out.streams && !c.infer_int;
        ColStruct_t& d = st->desc[k];
        std::memset(&d, 0, sizeof d);
        copy_name(d.fname, utf8_to_cp866_lossy(out.names[k].c_str()));
        copy_name(d.coder, utf8_to_cp866_lossy(type_label(c.oid, c.mod).c_str()));
        d.fieldno = k;
        d.func = table == 0;
        // A bigint expression reads as LONG when every value fits.
        d.type = c.infer_int ? QSCLI_ET_LONG : c.type;
        d.len = c.var ? 0 : c.infer_int ? 4 : field_width(c.type, c.len);  // variable: as wide as its values
    }
    st->names = std::move(names);
    return out;
}

bool changes_rows(const char* tag) {
    return std::strncmp(tag, "INSERT ", 7) == 0 || std::strncmp(tag, "UPDATE ", 7) == 0 ||
           std::strncmp(tag, "DELETE ", 7) == 0 || std::strncmp(tag, "MERGE ", 6) == 0;
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
    int code = 0;
    while (pq::PGresult* res = pq.PQgetResult(conn)) {
        int status = pq.PQresultStatus(res);
        switch (status) {
        case pq::PGRES_SINGLE_TUPLE:
        case pq::PGRES_TUPLES_CHUNK:
        case pq::PGRES_TUPLES_OK: {
            if (code) {
                pq.PQclear(res);
                break;
            }
            Columns cols = describe(*this, st, res);
            if (may_stream_ && cols.streams) {
                st->source = hand_over(res, std::move(cols.cols), std::move(cols.names));
                return 0;
            }
            // The rows of this result set; the results after it are read here.
            SetEnd end;
            const std::unique_ptr<RowSource> rows = hand_over(res, std::move(cols.cols), std::move(cols.names), &end);
            const std::vector<ColStruct_t> columns = st->desc;
            code = read_result(c, st, *rows, columns, cols.inferred);
            if (!code && changes_rows(end.tag.c_str())) st->set_changes(std::atoll(end.tuples.c_str()));
            break;
        }
        case pq::PGRES_COMMAND_OK:
            if (!code) {
                st->clear_result();
                const char* tag = pq.PQcmdStatus(res);
                if (tag && changes_rows(tag)) st->set_changes(std::atoll(pq.PQcmdTuples(res)));
            }
            pq.PQclear(res);
            break;
        case pq::PGRES_COPY_IN:
            pq.PQclear(res);
            pq.PQputCopyEnd(conn, "COPY FROM STDIN is not supported here: use qcSqlAddRecords");
            break;
        case pq::PGRES_COPY_OUT: {
            pq.PQclear(res);
            if (copy_wanted_ && !code) {
                st->copy = copy_data();
                return 0;
            }
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
