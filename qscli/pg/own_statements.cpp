// return EXPR [as TYPE] on the server: the value of a one-row select, its
// type the column's unless the statement names one.
#include "../own.h"
#include "session.h"

namespace qse {
namespace pg {

int Session::run_return(Stmt* st, const Command& cmd) {
    std::string sql = "select " + to_utf8(cmd.expr, cmd.expr_len);
    if (int rc = rewrite_tblstruct(sql)) return rc;
    Stmt tmp;
    tmp.null_flags = true;
    int rc = run_guarded(&tmp, sql);
    if (rc) return rc;
    if (!tmp.results || tmp.ncols != 1) return c->fail(QSCLI_E_ERROR, "return takes exactly one value");
    // The value from the statement's one record (its last byte the null flag).
    std::vector<unsigned char> rec(tmp.rec_size);
    const ColStruct_t& d = tmp.desc[0];
    const bool have = tmp.rows > 0 &&
                      tmp.records.read(0, rec.data(), rec.size()) == static_cast<int64_t>(tmp.rec_size) &&
                      !(rec.back() & 1);
    Value v;
    std::string text, why;
    if (have && !unpack_value(d.type, d.len, rec.data() + d.off, v, text, &why))
        return c->fail(QSCLI_E_MISMATCH, "return value: " + why);
    // Without a declared type, the column's: text as long as it is, bytes
    // as the field holds them.
    ElemType column;
    column.type = d.type;
    column.len = d.len;
    column.var = d.type == QSCLI_ET_CHAR;
    return set_return(c, st, cmd.typed ? &cmd.type : nullptr, v, column);
}

}  // namespace pg
}  // namespace qse
