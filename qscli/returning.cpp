// return EXPR [as TYPE]: one return value and no result set, made the same
// way on every backend from the value of its one-row select.
#include "own.h"
#include "value.h"

#include <cstring>
#include <vector>

namespace qse {

namespace {

// The bytes a CHAR or ARRA of the value's own width needs.
uint32_t own_width(const Value& v) {
    switch (v.kind) {
    case VKind::Null: return 0;
    case VKind::Int:
    case VKind::Float: return 40;  // render_number's most
    default: return static_cast<uint32_t>(v.n);
    }
}

}  // namespace

int set_return(Conn* c, Stmt* st, const ElemType* declared, const Value& v, const ElemType& untyped) {
    if (!declared && v.kind == VKind::Null) return 0;  // no value to return
    const ElemType& t = declared ? *declared : untyped;
    const bool sized = t.type == QSCLI_ET_CHAR || t.type == QSCLI_ET_ARRA;
    const uint32_t len = !sized ? natural_width(t.type) : t.var ? own_width(v) : field_width(t.type, t.len);
    std::vector<unsigned char> body(len + 1);
    std::string why;
    uint32_t width = 0;
    if (pack_value(t.type, len, v, body.data(), &why, &width))
        return c->fail(QSCLI_E_MISMATCH, "return value: " + why);
    if (t.type == QSCLI_ET_CHAR) {
        // Text and a NUL, without the field's fill.
        body.resize(strnlen(reinterpret_cast<const char*>(body.data()), len) + 1);
        body.back() = 0;
    } else {
        body.resize(t.type == QSCLI_ET_ARRA && t.var ? width : len);
        if (body.empty()) body.push_back(0);
    }
    st->rc_type = t.type;
    st->rc_body.swap(body);
    return 0;
}

}  // namespace qse
