// The library's own statements that need the server: return EXPR [as TYPE]
// and QXTBLSTRUCT("T").
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

// Replaces every QXTBLSTRUCT("T") (or 'T') by the rows of the table's
// layout: table, field number, name, element type, length, offset,
// declared type.
int Session::rewrite_tblstruct(std::string& sql) {
    const std::vector<TblStruct> found = find_tblstruct(Dialect::Pg, sql);
    // From the last one back, so the places of the others stay.
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        const std::string& name = it->name;
        std::vector<Field> fields;
        if (int rc = table_layout(name, fields, nullptr)) return rc;
        std::string rows;
        uint64_t off = 0;
        for (size_t k = 0; k < fields.size(); ++k) {
            const Field& f = fields[k];
            rows += std::string(k ? ", " : "") + "(" + quote_literal(name) + ", " + std::to_string(k) + ", " +
                    quote_literal(f.name) + ", " +
                    std::to_string(c->int64_now ? map_column(f.oid, f.mod, true, true).type : f.type) + ", " +
                    std::to_string(f.len) + ", " +
                    std::to_string(off) + ", " + quote_literal(f.decl) + ")";
            off += f.len;
        }
        // A query of its own, so the caller's alias (or none) applies to it.
        std::string sub = "(select * from (values " + rows +
                          ") as qx_fields(tbl, fieldno, fname, type, len, off, decl))";
        if (!it->aliased) sub += " as qxtblstruct";
        sql.replace(it->at, it->end - it->at, sub);
    }
    return 0;
}

}  // namespace pg
}  // namespace qse
