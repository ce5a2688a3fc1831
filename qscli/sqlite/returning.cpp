// return EXPR [as TYPE];: one return value and no result set. The type
// follows the value unless the statement names one.
#include "statement.h"

namespace qse {

int run_return(Conn* c, Stmt* st, sqlite3_stmt* s, const StmtCache::Entry& how) {
    if (sqlite3_column_count(s) != 1) return c->fail(QSCLI_E_ERROR, "return takes exactly one value");
    int rc = sqlite3_step(s);
    Value v;
    if (rc == SQLITE_ROW) fetch(s, 0, v);
    else if (rc != SQLITE_DONE) return db_of(c)->fail_sqlite(rc);
    int type;
    uint32_t len = 0;
    bool var = true;
    if (how.ret_typed) {
        type = how.ret.type;
        var = how.ret.var;
        len = how.ret.len;
    } else {
        switch (v.kind) {
        case VKind::Null: return 0;  // no value to return
        case VKind::Int: type = (v.i >= INT32_MIN && v.i <= INT32_MAX) ? QSCLI_ET_LONG : QSCLI_ET_DFLT; break;
        case VKind::Float: type = QSCLI_ET_DFLT; break;
        case VKind::Text: type = QSCLI_ET_CHAR; break;
        default: type = QSCLI_ET_ARRA; break;
        }
    }
    std::string why;
    std::vector<unsigned char> body;
    if (type == QSCLI_ET_CHAR) {
        // Text and a NUL; a declared length only bounds it.
        std::string text;
        if (v.kind == VKind::Text || v.kind == VKind::Blob) {
            TextStatus ts = utf8_to_cp866(v.p, v.n, text);
            if (ts != TextStatus::Ok) return c->fail(QSCLI_E_MISMATCH, std::string("return value: text ") + text_problem(ts));
        } else if (v.kind != VKind::Null) {
            const unsigned char* p = sqlite3_column_text(s, 0);
            text.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(s, 0)));
        }
        if (!var && text.size() > len)
            return c->fail(QSCLI_E_MISMATCH, "return value: text is longer than CHAR(" + std::to_string(len) + ")");
        body.assign(text.begin(), text.end());
        body.push_back(0);
    } else if (type == QSCLI_ET_ARRA) {
        size_t n = 0;
        const unsigned char* p = nullptr;
        if (v.kind != VKind::Null) {
            p = static_cast<const unsigned char*>(sqlite3_column_blob(s, 0));
            n = static_cast<size_t>(sqlite3_column_bytes(s, 0));
        }
        if (!var && n > len)
            return c->fail(QSCLI_E_MISMATCH, "return value: bytes are longer than BINARY(" + std::to_string(len) + ")");
        body.assign(p, p + n);
        if (!var) body.resize(len, 0);
        if (body.empty()) body.push_back(0);
    } else {
        body.resize(natural_width(type));
        if (pack_value(type, static_cast<uint32_t>(body.size()), v, body.data(), &why))
            return c->fail(QSCLI_E_MISMATCH, "return value: " + why);
    }
    st->rc_type = type;
    st->rc_body.swap(body);
    return 0;
}

}  // namespace qse
