// qcSqlAddRecords on the server: each batch one COPY ... FROM STDIN, in the
// binary format when every field's type has one here (the element types'
// own), else in the text format; a COPY is one statement, so the batch goes
// in whole or not at all (inside a transaction, within a savepoint).
#include "session.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace qse {
namespace pg {

namespace {

enum : pq::Oid {
    BOOL = 16, BYTEA = 17, NAME = 19, INT8 = 20, INT2 = 21, INT4 = 23, TEXT = 25, OID = 26, FLOAT4 = 700,
    FLOAT8 = 701, MONEY = 790, BPCHAR = 1042, VARCHAR = 1043, DATE = 1082, NUMERIC = 1700,
};

bool has_binary(pq::Oid oid) {
    switch (oid) {
    case BOOL: case BYTEA: case NAME: case INT8: case INT2: case INT4: case TEXT: case OID: case FLOAT4:
    case FLOAT8: case MONEY: case BPCHAR: case VARCHAR: case DATE: case NUMERIC: return true;
    default: return false;
    }
}

bool all_binary(const std::vector<Attribute>& fields) {
    for (const Attribute& f : fields)
        if (!has_binary(f.oid)) return false;
    return true;
}

void put_be(std::string& out, uint64_t v, unsigned n) {
    char bytes[8];
    for (unsigned k = 0; k < n; ++k) bytes[k] = static_cast<char>(v >> (8 * (n - 1 - k)));
    out.append(bytes, n);
}

// Numbers as text for the server, with a point whatever the process's
// locale says: the shortest decimal that reads back as d, or d with
// `precision` digits in the given form.
std::string decimal(double d, std::chars_format form = std::chars_format::general, int precision = -1) {
    char buf[64];
    const auto r = precision < 0 ? std::to_chars(buf, buf + sizeof buf, d, form)
                                 : std::to_chars(buf, buf + sizeof buf, d, form, precision);
    return std::string(buf, static_cast<size_t>(r.ptr - buf));
}

// A finite decimal text ("-12.5e-3") in numeric's binary form: base-10000
// digits, the first one's weight, sign, display scale.
void numeric_binary(const std::string& text, std::string& out) {
    bool neg = false;
    std::string digits;
    int point = -1, exp10 = 0;
    size_t k = 0;
    if (k < text.size() && (text[k] == '-' || text[k] == '+')) neg = text[k++] == '-';
    for (; k < text.size(); ++k) {
        char ch = text[k];
        if (ch == '.') point = static_cast<int>(digits.size());
        else if (ch == 'e' || ch == 'E') {
            exp10 = std::atoi(text.c_str() + k + 1);
            break;
        } else digits += ch;
    }
    if (point < 0) point = static_cast<int>(digits.size());
    point += exp10;  // digits[0 .. point) is the integer part
    int dscale = static_cast<int>(digits.size()) - point;
    if (dscale < 0) dscale = 0;
    // Align to groups of four around the decimal point.
    int lead = ((point % 4) + 4) % 4;
    std::string s = std::string(lead ? 4 - lead : 0, '0') + digits;
    int int_groups = (point + (lead ? 4 - lead : 0)) / 4;
    while (s.size() % 4) s += '0';
    std::vector<int> groups;
    for (size_t g = 0; g < s.size(); g += 4) groups.push_back(std::atoi(s.substr(g, 4).c_str()));
    int weight = int_groups - 1;
    size_t first = 0;
    while (first < groups.size() && groups[first] == 0) ++first, --weight;
    size_t last = groups.size();
    while (last > first && groups[last - 1] == 0) --last;
    if (first == last) weight = 0, neg = false;
    put_be(out, last - first, 2);
    put_be(out, static_cast<uint16_t>(static_cast<int16_t>(weight)), 2);
    put_be(out, neg ? 0x4000 : 0, 2);
    put_be(out, static_cast<unsigned>(dscale), 2);
    for (size_t g = first; g < last; ++g) put_be(out, static_cast<unsigned>(groups[g]), 2);
}

// What a QSCLI_ET_DECIMAL field's text `t` is to the server's numeric input.
enum class DecimalText { Number, NotANumber, Overflows };

// The server reads any exponent, and refuses a number that its numeric form
// cannot hold: more than 131072 digits before the point, more than 16383
// after it (zeros too), or an exponent of a billion or more.
DecimalText decimal_text(const std::string& t) {
    size_t k = !t.empty() && (t[0] == '-' || t[0] == '+') ? 1 : 0;
    if (t == "NaN" || t.compare(k, std::string::npos, "Infinity") == 0) return DecimalText::Number;
    int64_t digits = 0, fraction = 0, lead = -1, point = -1;  // lead: the first digit not 0
    for (; k < t.size() && (std::isdigit(static_cast<unsigned char>(t[k])) || (t[k] == '.' && point < 0)); ++k) {
        if (t[k] == '.') {
            point = digits;
            continue;
        }
        if (lead < 0 && t[k] != '0') lead = digits;
        ++digits;
        fraction += point >= 0;
    }
    if (!digits) return DecimalText::NotANumber;
    if (point < 0) point = digits;
    constexpr int64_t kExponentLimit = INT32_MAX / 2;
    int64_t exponent = 0;
    if (k < t.size()) {
        if (t[k] != 'e' && t[k] != 'E') return DecimalText::NotANumber;
        bool negative = false;
        if (++k < t.size() && (t[k] == '-' || t[k] == '+')) negative = t[k++] == '-';
        const size_t start = k;
        for (; k < t.size() && std::isdigit(static_cast<unsigned char>(t[k])); ++k)
            exponent = std::min(exponent * 10 + (t[k] - '0'), kExponentLimit);
        if (k != t.size() || k == start) return DecimalText::NotANumber;
        if (negative) exponent = -exponent;
    }
    if (exponent <= -kExponentLimit || exponent >= kExponentLimit) return DecimalText::Overflows;
    if (fraction - exponent > 16383) return DecimalText::Overflows;
    // The power of ten of the leading digit: below 10^131072.
    return lead >= 0 && point - lead - 1 + exponent > 131071 ? DecimalText::Overflows : DecimalText::Number;
}

// One load of records: the COPY data of a batch.
// SQLite cannot keep a NaN (it would store NULL): refused here too, so a
// load means the same on both backends.
const char NAN_REFUSED[] = "NaN is not a number it can keep";

class Encoder {
public:
    Encoder(Conn* c, const std::vector<Attribute>& fields, bool binary) : c_(c), fields_(fields), binary_(binary) {}
    // Appends the record's row; false after reporting a value that does not fit.
    bool row(const RecordLayout& lay, const unsigned char* rec, int64_t r, std::string& out);

private:
    bool field(const Attribute& f, const Value& x, std::string& v);
    bool real(const Attribute& f, double x, std::string& v);
    int from_real(const Attribute& f, double x, std::string& v);
    int from_int(const Attribute& f, int64_t i, std::string& v);
    void from_text(const Attribute& f, const Value& x, std::string& v);
    bool from_decimal(const Attribute& f, const Value& x, std::string& v);
    void from_bytes(const Value& x, std::string& v);
    bool refuse(const Attribute& f, const std::string& why) {
        c_->fail(QSCLI_E_MISMATCH, "record " + std::to_string(row_) + ", field " + f.name + ": " + why);
        return false;
    }
    void text_escaped(const std::string& s, std::string& out);

    Conn* c_;
    const std::vector<Attribute>& fields_;
    bool binary_;
    int64_t row_ = 0;
    std::string v_;
};

// A CURR or DFLT value into a float8, money or bigint field: its form in
// v; v stays empty for a field of another type (a number in decimal text).
bool Encoder::real(const Attribute& f, double x, std::string& v) {
    if (f.oid == FLOAT8) {
        if (binary_) {
            uint64_t bits;
            std::memcpy(&bits, &x, 8);
            put_be(v, bits, 8);
            return true;
        }
        v = std::isinf(x) ? (x < 0 ? "-Infinity" : "Infinity") : decimal(x);
        return true;
    }
    if (f.oid == MONEY) {
        double cents = std::nearbyint(x * 100);
        if (!std::isfinite(x) || std::fabs(cents) >= 9.2e18 || std::fabs(x * 100 - cents) > 1e-6 * (1 + std::fabs(cents)))
            return refuse(f, decimal(x) + " is not an amount in cents");
        if (binary_) {
            put_be(v, static_cast<uint64_t>(static_cast<int64_t>(cents)), 8);
        } else {
            v = decimal(x, std::chars_format::fixed, 2);
        }
        return true;
    }
    if (f.oid == INT8) {
        if (!(std::floor(x) == x && x >= -9223372036854775808.0 && x < 9223372036854775808.0))
            return refuse(f, decimal(x) + " is not a whole number of 64 bits");
        if (binary_) put_be(v, static_cast<uint64_t>(static_cast<int64_t>(x)), 8);
        else v = std::to_string(static_cast<int64_t>(x));
        return true;
    }
    return true;
}

// A FLOA, CURR or DFLT value into field f: 0 when v holds its form, 1 when v
// holds decimal text still to go out as the field's type, -1 after a refusal.
int Encoder::from_real(const Attribute& f, double x, std::string& v) {
    if (std::isnan(x)) return refuse(f, NAN_REFUSED), -1;
    if (f.type == QSCLI_ET_FLOA) {
        const float y = static_cast<float>(x);
        if (f.oid == FLOAT4 && binary_) {
            uint32_t bits;
            std::memcpy(&bits, &y, 4);
            put_be(v, bits, 4);
            return 0;
        }
        v = decimal(x, std::chars_format::general, 9);
        return 1;
    }
    if (!real(f, x, v)) return -1;
    if (!v.empty()) return 0;
    v = std::isinf(x) ? (x < 0 ? "-Infinity" : "Infinity") : decimal(x);
    return 1;
}

// An integer value into field f, with the same answers as from_real.
int Encoder::from_int(const Attribute& f, int64_t i, std::string& v) {
    if (f.type == QSCLI_ET_INT64) {
        if (binary_) put_be(v, static_cast<uint64_t>(i), 8);
        else v = std::to_string(i);
        return 0;
    }
    if (f.oid == BOOL) {
        if (i != 0 && i != 1) return refuse(f, std::to_string(i) + " is not a boolean 0 or 1"), -1;
        if (binary_) v += static_cast<char>(i);
        else v = i ? "t" : "f";
        return 0;
    }
    if (binary_ && (f.oid == INT2 || f.oid == INT4 || f.oid == OID)) {
        put_be(v, static_cast<uint64_t>(i), f.oid == INT2 ? 2 : 4);
        return 0;
    }
    v = std::to_string(i);
    return 1;
}

void Encoder::from_text(const Attribute& f, const Value& x, std::string& v) {
    if (f.type == QSCLI_ET_DATE) {
        // Days since 2000-01-01, which is day 36525 of the packing; the text
        // form is in v already.
        if (binary_) v.clear(), put_be(v, static_cast<uint32_t>(static_cast<int32_t>(x.i) - 36525), 4);
        return;
    }
    cp866_to_utf8(x.p, x.n, v);
}

// A QSCLI_ET_DECIMAL field: its text as it is in a text load, the same
// number in numeric's binary form in a binary one.
bool Encoder::from_decimal(const Attribute& f, const Value& x, std::string& v) {
    const std::string text(reinterpret_cast<const char*>(x.p), x.n);
    switch (decimal_text(text)) {
    case DecimalText::NotANumber: return refuse(f, "'" + text + "' is not a decimal number the server reads");
    case DecimalText::Overflows: return refuse(f, "value overflows numeric format");  // as the server says it
    case DecimalText::Number: break;
    }
    if (!binary_) {
        v = text;
        return true;
    }
    v.clear();
    if (text.back() != 'N' && text.back() != 'y') {
        numeric_binary(text, v);
        return true;
    }
    // No digits and no weight; the sign word says which: NaN, +Infinity or
    // -Infinity; no scale.
    put_be(v, 0, 4);
    put_be(v, text[0] == 'N' ? 0xC000 : text[0] == '-' ? 0xF000 : 0xD000, 2);
    put_be(v, 0, 2);
    return true;
}

void Encoder::from_bytes(const Value& x, std::string& v) {
    if (binary_) {
        v.assign(reinterpret_cast<const char*>(x.p), x.n);
        return;
    }
    v = "\\x";
    static const char HEX[] = "0123456789abcdef";
    for (size_t k = 0; k < x.n; ++k) v += HEX[x.p[k] >> 4], v += HEX[x.p[k] & 15];
}

// A field's value `x` (not Null) in its form in v, which holds a date's
// text already and is empty otherwise.
bool Encoder::field(const Attribute& f, const Value& x, std::string& v) {
    int more = 0;
    switch (x.kind) {
    case VKind::Text866:
        if (f.type == QSCLI_ET_DECIMAL) return from_decimal(f, x, v);
        from_text(f, x, v);
        break;
    case VKind::Blob: from_bytes(x, v); break;
    case VKind::Float: more = from_real(f, x.d, v); break;
    default: more = from_int(f, x.i, v); break;
    }
    if (more <= 0) return more == 0;
    // A number in decimal text: for numeric in binary, or a text load.
    if (binary_ && f.oid == NUMERIC) {
        std::string text = v;
        v.clear();
        if (text.find("inf") != std::string::npos || text.find("Inf") != std::string::npos)
            return refuse(f, "infinity does not fit numeric here");
        else numeric_binary(text, v);
    }
    return true;
}

void Encoder::text_escaped(const std::string& s, std::string& out) {
    for (char ch : s) {
        switch (ch) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += ch;
        }
    }
}

bool Encoder::row(const RecordLayout& lay, const unsigned char* rec, int64_t r, std::string& out) {
    row_ = r;
    if (binary_) put_be(out, fields_.size(), 2);
    std::string why;
    for (size_t k = 0; k < fields_.size(); ++k) {
        Value x;
        v_.clear();
        if (!lay.value(rec, k, x, v_, &why)) return refuse(fields_[k], why);
        const bool null = x.kind == VKind::Null;  // a NULL, or day 0: no date
        if (!null && !field(fields_[k], x, v_)) return false;
        if (binary_) {
            if (null) {
                put_be(out, 0xFFFFFFFFu, 4);
            } else {
                put_be(out, v_.size(), 4);
                out += v_;
            }
        } else {
            if (k) out += '\t';
            if (null) out += "\\N";
            else text_escaped(v_, out);
        }
    }
    if (!binary_) out += '\n';
    return true;
}

}  // namespace

int Session::add_records(const char* table, int32_t count, unsigned rec_size, const void* recs) {
    if (!table || count < 0 || (count > 0 && !recs)) return QSCLI_E_ARGUMENT;
    const unsigned char* first = static_cast<const unsigned char*>(recs);
    return load_batch(table, [&](const Layout& t, bool verify, bool* misfit) {
        RecordLayout lay;
        if (!lay.of_table(t.fields, c->null_flags, rec_size)) {
            *misfit = true;
            return verify ? 0 : c->fail(QSCLI_E_RECORD_LENGTH, record_size_refusal(rec_size, t.name, lay.flags_at));
        }
        const bool binary = all_binary(t.fields);
        Encoder enc(c, t.fields, binary);
        return copy_batch(t, verify, count, binary, [&](int32_t r, std::string& out) {
            return enc.row(lay, first + static_cast<size_t>(r) * lay.rec_size, r, out);
        });
    });
}

int Session::load_batch(const char* table, const BatchCopy& copy) {
    if (lost_) return c->fail(QSCLI_E_IO, "server connection lost");
    MessageHold held(c);
    if (int rc = keep_settings()) return rc;
    std::string name;
    cp866_to_utf8(reinterpret_cast<const unsigned char*>(table), std::strlen(table), name);
    // A table loaded before is checked in the same flight as the batch's
    // COPY, so a batch costs two round trips, not three; a table that
    // changed since is read again.
    for (;;) {
        auto known = layouts_.find(name);
        const bool verify = known != layouts_.end();
        if (!verify) {
            Layout t;
            if (int rc = table_layout(name, c->loads, t.fields, &t.qualified)) return rc;
            t.forms = c->loads;
            t.name = name;
            if (layouts_.size() >= 64) layouts_.clear();
            known = layouts_.emplace(name, std::move(t)).first;
        } else if (known->second.forms != c->loads) {
            // Asked in other forms since: the same fields, other widths.
            for (Attribute& f : known->second.fields) f.shape(c->loads);
            known->second.forms = c->loads;
        }
        bool misfit = false;
        const int code = copy(known->second, verify, &misfit);
        if (misfit && !code && verify) {
            // The batch does not fit the layout kept: read it again.
            layouts_.erase(known);
            continue;
        }
        if (code != STALE) return code;
        layouts_.erase(name);
    }
}

int Session::copy_batch(const Layout& t, bool verify, int32_t count, bool binary, const CopyRow& row) {
    if (count == 0) return 0;
    const std::vector<Attribute>& fields = t.fields;
    std::string sql;
    // Inside a transaction the batch needs a savepoint to go alone.
    const bool nested = in_transaction();
    if (nested) sql = "savepoint qx_addrecords; ";
    if (verify) sql += layout_query(t.name) + "; ";
    sql += "copy " + t.qualified;
    // A table of no fields takes rows of none, with no list of them.
    for (size_t k = 0; k < fields.size(); ++k) sql += (k ? ", " : " (") + quote_ident(fields[k].name);
    if (!fields.empty()) sql += ")";
    sql += binary ? " from stdin (format binary)" : " from stdin";
    int code = 0;
    bool stale = false, ended = false;
    if (!pq.PQsendQuery(conn, sql.c_str())) {
        code = fail_conn("cannot send COPY");
    } else {
        cancel_if_asked();
        pq::PGresult* res;
        while ((res = pq.PQgetResult(conn)) && pq.PQresultStatus(res) == pq::PGRES_COMMAND_OK) pq.PQclear(res);
        if (verify && res && pq.PQresultStatus(res) == pq::PGRES_TUPLES_OK) {
            Layout now;
            read_layout(res, t.forms, now.fields, &now.qualified);
            stale = now.fields != fields || now.qualified != t.qualified;
            pq.PQclear(res);
            res = pq.PQgetResult(conn);
        }
        if (stale) {
            // Nothing sent: the COPY (if the server began it) is ended unused.
            if (res && pq.PQresultStatus(res) == pq::PGRES_COPY_IN) pq.PQputCopyEnd(conn, "the table changed");
            if (res) pq.PQclear(res);
            while (pq::PGresult* r = pq.PQgetResult(conn)) pq.PQclear(r);
            check_lost();
            if (lost_) code = fail_conn("COPY");
        } else if (!res || pq.PQresultStatus(res) != pq::PGRES_COPY_IN) {
            code = fail_result(res);
            while (pq::PGresult* r = pq.PQgetResult(conn)) pq.PQclear(r);
        } else {
            pq.PQclear(res);
            code = copy_rows(binary, count, &ended, row);
        }
    }
    // A batch outside a transaction whose COPY ended before the server went
    // away may have been kept.
    if (lost_) return nested || !ended ? code : commit_failed(code, Commits::ITSELF);
    if (nested) code = end_batch_savepoint(code, stale);
    return stale && !code ? STALE : code;
}

int Session::end_batch_savepoint(int code, bool stale) {
    std::string saved = c->last_error;
    bool quiet = c->err_to_user;
    c->err_to_user = false;
    int rc = run(code || stale ? "rollback to savepoint qx_addrecords; release savepoint qx_addrecords"
                               : "release savepoint qx_addrecords");
    c->err_to_user = quiet;
    if (code) c->last_error = saved;
    return code ? code : rc;
}

int Session::copy_rows(bool binary, int32_t count, bool* ended, const CopyRow& row) {
    int code = 0;
    std::string buf;
    buf.reserve(COPY_CHUNK + (1 << 12));
    if (binary) {
        static const char HEADER[] = "PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0";
        buf.append(HEADER, 19);
    }
    bool sent = true;
    for (int32_t r = 0; r < count && !code && sent; ++r) {
        if (!row(r, buf)) code = QSCLI_E_MISMATCH;
        if (buf.size() >= COPY_CHUNK || r + 1 == count) {
            if (binary && r + 1 == count && !code) put_be(buf, 0xFFFF, 2);
            if (!code) sent = pq.PQputCopyData(conn, buf.data(), static_cast<int>(buf.size())) == 1;
            buf.clear();
        }
    }
    // A value the encoder refused was told already: the server's answer to
    // the COPY ended unused does not replace it.
    const bool refused = code == QSCLI_E_MISMATCH;
    std::string saved = c->last_error;
    if (!sent && !code) code = fail_conn("COPY");
    *ended = pq.PQputCopyEnd(conn, code ? "refused by the client" : nullptr) == 1 && !code;
    while (pq::PGresult* r = pq.PQgetResult(conn)) {
        if (pq.PQresultStatus(r) == pq::PGRES_COMMAND_OK || code) pq.PQclear(r);
        else code = fail_result(r);
    }
    check_lost();
    if (!code && lost_) code = fail_conn("COPY");
    if (refused) c->last_error = saved;
    return code;
}

}  // namespace pg
}  // namespace qse
