// libFuzzer harness for the embedded engine, linked with its sources: the
// input is split into SQL statements run on one connection (results read
// back through buffers of varying sizes), into record buffers handed to
// qcSqlAddRecords for a table of every element type, or cut into tokens by
// both dialects' lexers, which must cover the text exactly.
#define QSCLI_DEFINE_PROTOTYPES
#include "../src/pyqivrexdb/qxcore/client/qscli.h"
#include "../qscli/lexer.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

int g_hdb = 0;

const char* const kTable =
    "create table t (c char(6), a binary(3), b byte, i smallint, w word, d date, n nmbr, "
    "l integer, u dword, f float, m money, x double);";
const unsigned kRecord = 6 + 3 + 1 + 2 + 2 + 2 + 3 + 4 + 4 + 4 + 8 + 8;

void read_all(int hs, unsigned bufsize) {
    int cols = 0;
    if (qcSqlNumResultCols(hs, &cols) != 0 || cols < 0) return;
    std::vector<unsigned char> info(static_cast<size_t>(cols) * 128 + 1);
    unsigned len = 0;
    qcSqlGetStmtAttr(hs, QSCLI_STMT_DST_INFO, 0, info.data(), cols * 128u, &len);
    unsigned rec = 0;
    if (qcSqlOpenResults(hs, &rec) != 0) return;
    unsigned size = rec ? (bufsize / rec + 1) * rec : bufsize + 1;
    std::vector<unsigned char> buf(size);
    qc_long start = 0;
    for (int guard = 0; guard < 10000; ++guard) {
        unsigned got = 0;
        if (qcSqlReadResults(hs, start, buf.data(), size, &got) != 0 || got == 0) break;
        if (got > size) __builtin_trap();  // the engine must never claim more than fits
        start += rec ? static_cast<qc_long>(got / rec) : 1;
    }
    unsigned rcsize = 0;
    qcSqlGetStmtAttr(hs, QSCLI_STMT_RC_SIZE, 0, &rcsize, 4, &len);
    if (rcsize && rcsize < (1u << 20)) {
        std::vector<unsigned char> body(rcsize);
        qcSqlGetStmtAttr(hs, QSCLI_STMT_RC_BODY, 0, body.data(), rcsize, &len);
    }
    qcSqlCloseResults(hs);
}

// Tokens follow each other without gap or overlap, each at least one byte,
// and end exactly at the text's end, whatever the text.
void lex_whole(qse::Dialect d, const char* b, const char* e) {
    qse::Lexer lexer(d, b, e);
    const char* at = b;
    for (;;) {
        const qse::Token t = lexer.next();
        if (t.kind == qse::Tok::End) break;
        if (t.b != at || t.e <= t.b || t.e > e) __builtin_trap();
        at = t.e;
    }
    if (at != e) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qcSqlInit(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0 && (data[0] & 6) == 6) {
        const char* b = reinterpret_cast<const char*>(data + 1);
        lex_whole(qse::Dialect::Engine, b, b + size - 1);
        lex_whole(qse::Dialect::Pg, b, b + size - 1);
        return 0;
    }
    int hdb = 0;
    if (qcSqlAllocConnect(&hdb) != 0) return 0;
    char server[] = ":memory:", empty[] = "";
    if (qcSqlConnect(hdb, server, empty, empty) != 0) {
        qcSqlFreeConnect(&hdb);
        return 0;
    }
    int hs = 0;
    qcSqlAllocStmt(hdb, &hs);
    qcSqlExecDirect(hs, kTable);
    // Input: a mode byte, then statements separated by 0xFF bytes, or a
    // record buffer.
    if (size > 0 && data[0] & 1) {
        std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
        size_t from = 0;
        unsigned bufsize = size > 1 ? data[1] * 7u : 64;
        while (from <= text.size()) {
            size_t end = text.find('\xff', from);
            if (end == std::string::npos) end = text.size();
            std::string sql = text.substr(from, end - from);
            if (qcSqlExecDirect(hs, sql.c_str()) == 0) read_all(hs, bufsize);
            from = end + 1;
        }
    } else if (size > 2) {
        char table[] = "t";
        unsigned rec = data[1] % 3 == 0 ? kRecord : data[1];
        qc_long count = static_cast<qc_long>((size - 2) / (rec ? rec : 1));
        std::vector<unsigned char> records(data + 2, data + size);
        records.resize(static_cast<size_t>(count) * rec + 1);
        qcSqlAddRecords(hdb, table, count, rec, records.data());
        if (qcSqlExecDirect(hs, "select * from t;") == 0) read_all(hs, 100);
    }
    qcSqlFreeStmt(hs);
    qcSqlDisconnect(&hdb);
    qcSqlFreeConnect(&hdb);
    (void)g_hdb;
    return 0;
}
