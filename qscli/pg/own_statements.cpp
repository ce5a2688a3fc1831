// return EXPR [as TYPE] on the server: the value of a one-row select, its
// type the column's unless the statement names one.
#include "session.h"

#include <algorithm>
#include <cstring>

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
    bool have = tmp.rows > 0 && tmp.records.read(0, rec.data(), rec.size()) == static_cast<int64_t>(tmp.rec_size) &&
                !(rec.back() & 1);
    if (!cmd.typed) {
        if (!have) return 0;
        st->rc_type = d.type;
        st->rc_body.assign(rec.begin() + d.off, rec.begin() + d.off + d.len);
        if (d.type == QSCLI_ET_CHAR) {
            // Text and a NUL, without the field's fill.
            auto z = std::find(st->rc_body.begin(), st->rc_body.end(), 0);
            st->rc_body.erase(z, st->rc_body.end());
            st->rc_body.push_back(0);
        }
        return 0;
    }
    // An explicit type: the value again, as that type.
    ElemType t = cmd.type;
    uint32_t len = t.var ? d.len : (t.type == QSCLI_ET_CHAR || t.type == QSCLI_ET_ARRA ? t.len : natural_width(t.type));
    std::vector<unsigned char> body(len ? len : 1);
    Value v;
    std::string text;
    std::string why;
    if (have && !unpack_value(d.type, d.len, rec.data() + d.off, v, text, &why))
        return c->fail(QSCLI_E_MISMATCH, "return value: " + why);
    if (pack_value(t.type, static_cast<uint32_t>(body.size()), v, body.data(), &why))
        return c->fail(QSCLI_E_MISMATCH, "return value: " + why);
    if (t.type == QSCLI_ET_CHAR && t.var) {
        auto z = std::find(body.begin(), body.end(), 0);
        body.erase(z, body.end());
        body.push_back(0);
    }
    st->rc_type = t.type;
    st->rc_body.swap(body);
    return 0;
}

}  // namespace pg
}  // namespace qse
