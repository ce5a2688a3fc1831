// The twelve element types: resolving a Field list into a layout, cutting
// record fields and return-value bodies into Python values, and packing
// Python values into record fields.
#include "values.h"

#include "../cursor/field.h"
#include "../module/module.h"
#include "cp866.h"
#include "dates.h"
#include "overlays.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace qx::values {

namespace {

#define QX_CODE_NAME(name, code, width) "QSCLI_ET_" #name,
constexpr const char* kCodeNames[QSCLI_ET_COUNT] = {QSCLI_ELEMENT_TYPES(QX_CODE_NAME)};
#undef QX_CODE_NAME

// Bytes a value of each type occupies; for CHAR and ARRA the field's len.
#define QX_WIDTH(name, code, width) width,
constexpr uint32_t kWidth[QSCLI_ET_COUNT] = {QSCLI_ELEMENT_TYPES(QX_WIDTH)};
#undef QX_WIDTH

std::nullptr_t field_type_error() { return raise_message("ProgrammingError", "Field type error"); }

// ---------------------------------------------------------------------------
// Matching a type code against the QSCLI_ET_* names as they are bound now,
// in the order of their codes: the first name equal to the code wins.

// The objects bound to the twelve names, shared by every lookup while the
// module namespace stays as it was: a rebinding moves namespace_version() and
// empties the table, so each name is looked up again at its next use. A name
// is looked up only when a match reaches it, as a fresh lookup would. The
// references live until exit.
struct CodeTable {
    uint64_t version = 0;
    PyObject* obj[QSCLI_ET_COUNT] = {};
    long value[QSCLI_ET_COUNT] = {};
    bool small[QSCLI_ET_COUNT] = {};  // an exact int within a C long
};
CodeTable g_codes;

class Codes {
public:
    // The object bound to the name of code i (borrowed, held by the table),
    // or null with NameError.
    PyObject* get(int i) {
        CodeTable& t = current();
        if (t.obj[i]) return t.obj[i];
        Ref found = global(kCodeNames[i]);
        if (!found) return nullptr;
        long value = 0;
        bool small = PyLong_CheckExact(found.get());
        if (small) {
            int overflow = 0;
            value = PyLong_AsLongAndOverflow(found.get(), &overflow);
            small = !overflow;
        }
        // The lookup ran no code, so the table is still the current one.
        t.value[i] = value;
        t.small[i] = small;
        t.obj[i] = found.release();
        return t.obj[i];
    }

    // The branch `type` takes: 0..11, -1 for none, -2 with an exception set.
    int match(PyObject* type) {
        bool small = PyLong_CheckExact(type);
        long value = 0;
        if (small) {
            int overflow = 0;
            value = PyLong_AsLongAndOverflow(type, &overflow);
            small = !overflow;
        }
        return small ? match_small(value, type) : match_from(0, type);
    }

    // The same for an exact int of C value `value`: the names bound to exact
    // ints compare without a call.
    int match_small(long value, PyObject* type) {
        const CodeTable& t = current();
        for (int i = 0; i < QSCLI_ET_COUNT; ++i) {
            if (!t.obj[i] || !t.small[i]) return match_from(i, type, true, value);
            if (t.value[i] == value) return i;
        }
        return -1;
    }

private:
    int match_from(int first, PyObject* type, bool small = false, long value = 0) {
        for (int i = first; i < QSCLI_ET_COUNT; ++i) {
            PyObject* code = get(i);
            if (!code) return -2;
            int equal;
            if (small && g_codes.small[i]) {
                equal = g_codes.value[i] == value;
            } else {
                // Held: the comparison may run code that empties the table.
                Ref held = Ref::borrow(code);
                equal = PyObject_RichCompareBool(type, held.get(), Py_EQ);
                if (equal < 0) return -2;
            }
            if (equal) return i;
        }
        return -1;
    }

    static CodeTable& current() {
        const uint64_t now = namespace_version();
        if (g_codes.version != now) {
            PyObject* old[QSCLI_ET_COUNT];
            for (int i = 0; i < QSCLI_ET_COUNT; ++i) {
                old[i] = g_codes.obj[i];
                g_codes.obj[i] = nullptr;
            }
            g_codes.version = now;
            // Dropped once the table is consistent: a destructor may run code.
            for (PyObject* o : old) Py_XDECREF(o);
        }
        return g_codes;
    }
};

// A column's type code: above 11 or below 0 is refused before any name is
// compared, exactly as a reader checks each value. -1 with an exception set.
int classify(PyObject* type, Codes& codes) {
    if (PyLong_CheckExact(type)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(type, &overflow);
        if (v == -1 && PyErr_Occurred()) return -1;
        if (overflow || v > 11 || v < 0) return field_type_error(), -1;
    } else {
        Ref eleven(PyLong_FromLong(11)), zero(PyLong_FromLong(0));
        if (!eleven || !zero) return -1;
        int above = PyObject_RichCompareBool(type, eleven.get(), Py_GT);
        if (above < 0) return -1;
        if (above) return field_type_error(), -1;
        int below = PyObject_RichCompareBool(type, zero.get(), Py_LT);
        if (below < 0) return -1;
        if (below) return field_type_error(), -1;
    }
    int code = codes.match(type);
    if (code == -2) return -1;
    if (code == -1) return field_type_error(), -1;
    return code;
}

// ---------------------------------------------------------------------------
// Decoders, one per type and, where it pays, per length: Layout::resolve
// picks one per column so the per-value work is a single indirect call.

PyObject* hex_of(const unsigned char* p, Py_ssize_t n) {
    static const char digits[] = "0123456789abcdef";
    PyObject* out = PyBytes_FromStringAndSize(nullptr, 2 * n);
    if (!out) return nullptr;
    char* d = PyBytes_AS_STRING(out);
    for (Py_ssize_t i = 0; i < n; ++i) {
        d[2 * i] = digits[p[i] >> 4];
        d[2 * i + 1] = digits[p[i] & 0x0F];
    }
    return out;
}

template <typename V>
PyObject* to_python(V v) {
    if constexpr (std::is_floating_point_v<V>) return PyFloat_FromDouble(static_cast<double>(v));
    else if constexpr (std::is_same_v<V, uint32_t>) return PyLong_FromUnsignedLong(v);
    else return PyLong_FromLong(static_cast<long>(v));
}

// Short texts repeat across the rows of a result (codes, states, names of
// places): a direct-mapped cache of the str last made for a short byte string
// spares the allocation of a repeated value. A str is immutable, so rows may
// share one. The entries live until exit.
constexpr uint32_t kCachedTextMax = 32;
constexpr uint32_t kTextSlots = 64;

struct CachedText {
    uint32_t len = 0;
    unsigned char bytes[kCachedTextMax];
    PyObject* text = nullptr;
};
CachedText g_text_cache[kTextSlots];

uint32_t text_slot(const unsigned char* p, uint32_t n) {
    uint64_t h = 0x9E3779B97F4A7C15ull * (n + 1);
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    }
    uint64_t tail = 0;
    for (uint32_t k = 0; i + k < n; ++k) tail |= uint64_t{p[i + k]} << (8 * k);
    h = (h ^ tail) * 0xC4CEB9FE1A85EC53ull;
    return static_cast<uint32_t>(h >> 58) & (kTextSlots - 1);
}

PyObject* dec_char(const Column& c, const unsigned char* p) {
    if (c.len > kCachedTextMax) return cp866_decode(reinterpret_cast<const char*>(p), c.len);
    CachedText& slot = g_text_cache[text_slot(p, c.len)];
    if (slot.text && slot.len == c.len && std::memcmp(slot.bytes, p, c.len) == 0) {
        Py_INCREF(slot.text);
        return slot.text;
    }
    PyObject* text = cp866_decode(reinterpret_cast<const char*>(p), c.len);
    if (!text) return nullptr;
    Py_INCREF(text);
    Py_XSETREF(slot.text, text);  // the old str only frees memory: no code runs
    slot.len = c.len;
    std::memcpy(slot.bytes, p, c.len);
    return text;
}

// binascii is a module name like any other: looked up at each use, so that
// rebinding it takes effect from the next value. While the function it
// holds is the standard library's own, the conversion is done here instead
// of through a call: the bytes are the same. That finding is kept until the
// module namespace changes; anything else bound there is looked up and
// called for every value.
enum HexFunction { B2A_HEX, A2B_HEX };

// 1 when binascii.b2a_hex or binascii.a2b_hex as bound now is the standard
// library's function; 0 when it is something else, handed out in *fn; -1
// with the lookup's exception.
int bound_hex(HexFunction which, Ref* fn) {
    static const char* const names[] = {"b2a_hex", "a2b_hex"};
    static PyObject* name[2] = {};         // interned, kept until exit
    static PyObject* standard_fn[2] = {};  // strong, kept until exit
    static bool looked[2] = {};
    static bool standard_known[2] = {};
    static uint64_t standard_at[2] = {};   // the namespace in which it was standard
    const uint64_t version = namespace_version();
    if (standard_known[which] && standard_at[which] == version) return 1;
    Ref module = global("binascii");
    if (!module) return -1;
    if (!interned(names[which], &name[which])) return -1;
    Ref found(PyObject_GetAttr(module.get(), name[which]));
    if (!found) return -1;
    if (!looked[which]) {
        looked[which] = true;
        // The standard module itself, whatever the namespace holds.
        Ref std_module(PyImport_ImportModule("binascii"));
        if (std_module) standard_fn[which] = PyObject_GetAttr(std_module.get(), name[which]);
        PyErr_Clear();  // without it every call goes through Python: slower, not wrong
    }
    // Python code may have run above: only a namespace unchanged since the
    // start vouches for the finding.
    if (standard_fn[which] && found.get() == standard_fn[which]) {
        standard_known[which] = version == namespace_version();
        standard_at[which] = version;
        return 1;
    }
    *fn = std::move(found);
    return 0;
}

// An ARRA value of the n bytes at p: binascii.b2a_hex of them.
PyObject* arra_value(const unsigned char* p, Py_ssize_t n) {
    Ref fn;
    const int standard = bound_hex(B2A_HEX, &fn);
    if (standard < 0) return nullptr;
    if (standard) return hex_of(p, n);
    Ref raw(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), n));
    if (!raw) return nullptr;
    return PyObject_CallFunctionObjArgs(fn.get(), raw.get(), nullptr);
}

// The column's decoder when b2a_hex was the standard one as the layout was
// resolved (a later rebinding makes the layout stale), and the one that
// looks it up for every value otherwise.
PyObject* dec_arra(const Column& c, const unsigned char* p) { return hex_of(p, c.len); }
PyObject* dec_arra_late(const Column& c, const unsigned char* p) { return arra_value(p, c.len); }

// The ARRA decoder for a layout resolved now.
Decoder arra_decoder() {
    Ref fn;
    const int standard = bound_hex(B2A_HEX, &fn);
    if (standard < 0) PyErr_Clear();  // the late decoder meets the same failure at the value
    return standard > 0 ? dec_arra : dec_arra_late;
}

// A value of exactly the overlay's width (all fixed-width reads, and the
// overlay types at their natural len).
template <typename O>
PyObject* dec_full(const Column&, const unsigned char* p) {
    O o;
    std::memcpy(o.bytes, p, O::width);
    return to_python(o.get());
}

// An overlay type shorter than its overlay: the bytes it has, high bytes 0.
template <typename O>
PyObject* dec_part(const Column& c, const unsigned char* p) {
    O o;
    o.load(p, c.len);
    return to_python(o.get());
}

PyObject* dec_nmbr3(const Column&, const unsigned char* p) {
    NMBR_CHAR o;
    std::memcpy(o.bytes, p, 3);
    return to_python(o.get());
}

PyObject* dec_date(const Column&, const unsigned char* p) {
    WORD_CHAR o;
    std::memcpy(o.bytes, p, 2);
    return qxdate2pydate(o.get());
}

Decoder decoder_for(int type, uint32_t len) {
    switch (type) {
        case QSCLI_ET_CHAR: return dec_char;
        case QSCLI_ET_ARRA: return dec_arra_late;
        case QSCLI_ET_BYTE: return dec_full<UCHAR_CHAR>;
        case QSCLI_ET_INTR: return dec_full<INTR_CHAR>;
        case QSCLI_ET_WORD: return dec_full<WORD_CHAR>;
        case QSCLI_ET_DATE: return dec_date;
        case QSCLI_ET_NMBR: return len == 3 ? dec_nmbr3 : dec_part<NMBR_CHAR>;
        case QSCLI_ET_LONG: return len == 4 ? dec_full<LONG_CHAR> : dec_part<LONG_CHAR>;
        case QSCLI_ET_DWRD: return len == 4 ? dec_full<DWRD_CHAR> : dec_part<DWRD_CHAR>;
        case QSCLI_ET_FLOA: return len == 4 ? dec_full<FLOA_CHAR> : dec_part<FLOA_CHAR>;
        case QSCLI_ET_CURR:
        case QSCLI_ET_DFLT: return len == 8 ? dec_full<DFLT_CHAR> : dec_part<DFLT_CHAR>;
        default: return nullptr;
    }
}

// Whether `len` keeps a field of `type` within its bytes. 0, or -1 with a
// ProgrammingError naming the field.
int check_len(int type, uint32_t len, Py_ssize_t index, Purpose purpose) {
    const bool write = purpose == Purpose::Write;
    uint32_t bound = kWidth[type];
    const char* need = nullptr;
    switch (type) {
        case QSCLI_ET_BYTE:
        case QSCLI_ET_INTR:
        case QSCLI_ET_WORD:
        case QSCLI_ET_DATE:
            if (write ? len != bound : len < bound) need = write ? "exactly" : "at least";
            break;
        case QSCLI_ET_NMBR:
            // Read through a four-byte overlay, written as exactly three bytes.
            if (write && len != bound) need = "exactly";
            else if (!write && len > 4) need = "at most", bound = 4;
            break;
        case QSCLI_ET_LONG:
        case QSCLI_ET_DWRD:
        case QSCLI_ET_FLOA:
        case QSCLI_ET_CURR:
        case QSCLI_ET_DFLT:
            if (len > bound) need = "at most";
            break;
        default:
            break;
    }
    if (!need) return 0;
    Ref text(PyUnicode_FromFormat("Field length error: field %zd of type %s has len %u, %s %u expected",
                                  index, kCodeNames[type], len, need, bound));
    if (text) raise_object("ProgrammingError", text.get());
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Layout

int Layout::resolve(PyObject* fields, Purpose purpose) {
    columns_.clear();
    record_size_ = 0;
    resolved_ = false;
    foreign_ = false;
    // Taken before anything runs: a comparison below may run Python code, and
    // whatever it changes must make the result stale, not slip past it.
    const uint64_t ns_version = namespace_version();
    const uint64_t f_version = field_version;

    Ref seq(PySequence_Fast(fields, "the columns must be a list of Field objects"));
    if (!seq) return -1;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<Column> columns;
    columns.reserve(static_cast<size_t>(n));
    Codes codes;
    uint64_t size = 0;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
        Ref type, len;
        // A plain Field is read from its slots; anything else (a subclass
        // included, which may override the attributes) through getattr.
        if (Py_TYPE(item.get()) == &FieldType) {
            auto* f = reinterpret_cast<FieldObject*>(item.get());
            type = Ref::borrow(f->slot[F_TYPE]);
            len = Ref::borrow(f->slot[F_LEN]);
        } else {
            foreign_ = true;
            type.reset(PyObject_GetAttrString(item.get(), "type"));
            if (!type) return -1;
            len.reset(PyObject_GetAttrString(item.get(), "len"));
            if (!len) return -1;
        }
        // The usual column: exact ints, a code within 0..11 and a length that
        // fits, taken without the general comparisons and conversions.
        int code = -1;
        uint32_t length = 0;
        int overflow = 0;
        const long t = PyLong_CheckExact(type.get()) ? PyLong_AsLongAndOverflow(type.get(), &overflow) : -1;
        const long long l = PyLong_CheckExact(len.get()) && !overflow
                                ? PyLong_AsLongLongAndOverflow(len.get(), &overflow) : -1;
        if (!overflow && t >= 0 && t <= 11 && l >= 0 && l <= UINT32_MAX) {
            code = codes.match_small(t, type.get());
            if (code == -2) return -1;
            if (code == -1) return field_type_error(), -1;
            length = static_cast<uint32_t>(l);
        } else {
            PyErr_Clear();
            code = classify(type.get(), codes);
            if (code < 0) return -1;
            if (to_uint32(len.get(), &length) < 0) return -1;
        }
        if (check_len(code, length, i, purpose) < 0) return -1;
        Decoder decode = decoder_for(code, length);
        if (code == QSCLI_ET_ARRA && purpose == Purpose::Read) decode = arra_decoder();
        columns.push_back(Column{code, length, decode});
        size += length;
    }
    columns_ = std::move(columns);
    record_size_ = size;
    namespace_version_ = ns_version;
    field_version_ = f_version;
    resolved_ = true;
    return 0;
}

bool Layout::current() const {
    return resolved_ && !foreign_ && namespace_version_ == namespace_version() &&
           field_version_ == field_version;
}

// ---------------------------------------------------------------------------
// Reading

PyObject* decode_any(const Column& col, const unsigned char* p) {
    if (col.type < 0 || col.type >= QSCLI_ET_COUNT) return field_type_error();
    // A hand-made column gets the reader's length rule too.
    if (check_len(col.type, col.len, 0, Purpose::Read) < 0) return nullptr;
    return decoder_for(col.type, col.len)(col, p);
}

PyObject* decode_record(const Layout& layout, const unsigned char* rec) {
    const std::vector<Column>& columns = layout.columns();
    const Py_ssize_t n = static_cast<Py_ssize_t>(columns.size());
    Ref row(PyList_New(n));
    if (!row) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Column& col = columns[static_cast<size_t>(i)];
        PyObject* value = decode_field(col, rec);
        if (!value) return nullptr;
        PyList_SET_ITEM(row.get(), i, value);
        rec += col.len;
    }
    return row.release();
}

PyObject* decode_body(PyObject* type, const unsigned char* body, uint32_t size, bool* decoded) {
    *decoded = true;
    Codes codes;
    const int code = codes.match(type);
    if (code == -2) return nullptr;
    if (code == -1) {
        *decoded = false;
        return nullptr;
    }
    switch (code) {
        case QSCLI_ET_CHAR:
        case QSCLI_ET_ARRA: {
            const void* zero = std::memchr(body, 0, size);
            const Py_ssize_t n = zero ? static_cast<const unsigned char*>(zero) - body : size;
            return code == QSCLI_ET_CHAR ? cp866_decode(reinterpret_cast<const char*>(body), n)
                                         : arra_value(body, n);
        }
        case QSCLI_ET_DATE: {
            WORD_CHAR o;
            o.load(body, size);
            return qxdate2pydate(o.get());
        }
        default: {
            // Every numeric type through its overlay: at most the overlay's
            // width is copied and a short body leaves the high bytes 0.
            const Column col{code, size, nullptr};
            switch (code) {
                case QSCLI_ET_BYTE: return dec_part<UCHAR_CHAR>(col, body);
                case QSCLI_ET_INTR: return dec_part<INTR_CHAR>(col, body);
                case QSCLI_ET_WORD: return dec_part<WORD_CHAR>(col, body);
                case QSCLI_ET_NMBR: return dec_part<NMBR_CHAR>(col, body);
                case QSCLI_ET_LONG: return dec_part<LONG_CHAR>(col, body);
                case QSCLI_ET_DWRD: return dec_part<DWRD_CHAR>(col, body);
                case QSCLI_ET_FLOA: return dec_part<FLOA_CHAR>(col, body);
                default: return dec_part<DFLT_CHAR>(col, body);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Writing

namespace {

int type_error(PyObject* value, const char* suffix) {
    Ref text(PyUnicode_FromFormat("Field type error %S%s", reinterpret_cast<PyObject*>(Py_TYPE(value)), suffix));
    if (text) raise_object("ProgrammingError", text.get());
    return -1;
}

int range_error(PyObject* value, const char* suffix) {
    Ref text(PyUnicode_FromFormat("Data value error %S%s", value, suffix));
    if (text) raise_object("ProgrammingError", text.get());
    return -1;
}

// An exact int within [low, high], or the type or range error of the type.
int int_in_range(PyObject* value, long long low, long long high, const char* range_suffix, long long* out) {
    if (Py_TYPE(value) != &PyLong_Type) return type_error(value, " expected int");
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow || v < low || v > high) return range_error(value, range_suffix);
    *out = v;
    return 0;
}

// The class bound as datetime.date in the module namespace, looked up again
// only when the namespace changed. Borrowed; null with an exception set.
PyObject* late_date_class() {
    static PyObject* cached = nullptr;  // strong reference, kept until exit
    static uint64_t version = 0;
    const uint64_t now = namespace_version();
    if (cached && version == now) return cached;
    Ref datetime = global("datetime");
    if (!datetime) return nullptr;
    PyObject* date = PyObject_GetAttrString(datetime.get(), "date");
    if (!date) return nullptr;
    Py_XDECREF(cached);
    cached = date;
    version = now;
    return cached;
}

// A double narrowed to single precision as the FPU rounds it, without the
// undefined conversion of a value beyond the single range.
float narrow(double d) {
    if (!std::isfinite(d) || std::fabs(d) <= FLT_MAX) return static_cast<float>(d);
    // Below FLT_MAX + half an ulp it rounds down to FLT_MAX, from there on up
    // to infinity (the tie goes to the even neighbour, infinity).
    constexpr double limit = 0x1.ffffffp127;
    return static_cast<float>(std::copysign(std::fabs(d) < limit ? double{FLT_MAX} : HUGE_VAL, d));
}

bool is_hex_digit(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;  // anything else counts as the digit 0
}

template <typename O, typename V>
void put(unsigned char* out, uint32_t len, V v) {
    O o;
    o.set(v);
    const uint32_t n = len < O::width ? len : O::width;
    std::memcpy(out, o.bytes, n);
    if (len > n) std::memset(out + n, 0, len - n);
}

// The 2 * len cleaned digits of `h` (n bytes) handed to a rebound a2b_hex;
// exactly len bytes of what it gives are written, anything else is refused
// rather than written short or past the field.
int arra_through(PyObject* a2b_hex, const unsigned char* h, uint64_t n, uint32_t len, unsigned char* out) {
    const uint64_t want = 2 * uint64_t{len};
    if (want > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory(), -1;
    Ref digits(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(want)));
    if (!digits) return -1;
    auto* d = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(digits.get()));
    for (uint64_t i = 0; i < want; ++i) d[i] = i < n && is_hex_digit(h[i]) ? h[i] : '0';
    Ref raw(PyObject_CallFunctionObjArgs(a2b_hex, digits.get(), nullptr));
    if (!raw) return -1;
    Py_buffer view;
    if (PyObject_GetBuffer(raw.get(), &view, PyBUF_SIMPLE) < 0) return -1;
    const Py_ssize_t got = view.len;
    if (got == static_cast<Py_ssize_t>(len)) std::memcpy(out, view.buf, len);
    PyBuffer_Release(&view);
    if (got != static_cast<Py_ssize_t>(len)) {
        PyErr_Format(PyExc_ValueError, "binascii.a2b_hex gave %zd bytes for a field of %u", got, len);
        return -1;
    }
    return 0;
}

}  // namespace

int encode_field(const Column& col, PyObject* value, unsigned char* out) {
    const uint32_t len = col.len;
    if (col.type < 0 || col.type >= QSCLI_ET_COUNT) return field_type_error(), -1;
    if (check_len(col.type, len, 0, Purpose::Write) < 0) return -1;
    long long v = 0;
    switch (col.type) {
        case QSCLI_ET_CHAR: {
            PyTypeObject* t = Py_TYPE(value);
            if (t != &PyUnicode_Type && t != &PyBytes_Type) return type_error(value, " expected string or bytes");
            Py_ssize_t n;
            if (t == &PyBytes_Type) {
                n = PyBytes_GET_SIZE(value);
                std::memcpy(out, PyBytes_AS_STRING(value), static_cast<size_t>(n < Py_ssize_t{len} ? n : len));
            } else {
                n = cp866_encode_into(value, out, len);
                if (n < 0) return -1;
            }
            // A shorter text ends with one zero byte, then blanks to len.
            if (n < Py_ssize_t{len}) {
                out[n] = 0;
                std::memset(out + n + 1, ' ', len - static_cast<size_t>(n) - 1);
            }
            return 0;
        }
        case QSCLI_ET_ARRA: {
            PyTypeObject* t = Py_TYPE(value);
            if (t != &PyBytes_Type && t != &PyUnicode_Type) return type_error(value, " expected str or bytes");
            Ref digits = t == &PyBytes_Type ? Ref::borrow(value) : cp866_encode(value);
            if (!digits) return -1;
            const auto* h = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(digits.get()));
            const uint64_t n = static_cast<uint64_t>(PyBytes_GET_SIZE(digits.get()));
            Ref a2b_hex;
            const int standard = bound_hex(A2B_HEX, &a2b_hex);
            if (standard < 0) return -1;
            // Non-digits count as 0, a short text is filled with 0 digits on
            // the right, a long one is cut: always 2 * len digits.
            if (standard) {
                for (uint64_t i = 0; i < len; ++i) {
                    const int hi = 2 * i < n ? hex_digit(h[2 * i]) : 0;
                    const int lo = 2 * i + 1 < n ? hex_digit(h[2 * i + 1]) : 0;
                    out[i] = static_cast<unsigned char>(hi << 4 | lo);
                }
                return 0;
            }
            return arra_through(a2b_hex.get(), h, n, len, out);
        }
        case QSCLI_ET_BYTE:
            if (int_in_range(value, 0, 254, " does not belong to the range from 0 to 254", &v) < 0) return -1;
            put<UCHAR_CHAR>(out, 1, static_cast<uint8_t>(v));
            return 0;
        case QSCLI_ET_INTR:
            if (int_in_range(value, -32767, 32767, " does not belong to the range from -32767 to 32767", &v) < 0)
                return -1;
            put<INTR_CHAR>(out, 2, static_cast<int16_t>(v));
            return 0;
        case QSCLI_ET_WORD:
            if (int_in_range(value, 0, 65534, " does not belong to the range from 0 to 65534", &v) < 0) return -1;
            put<WORD_CHAR>(out, 2, static_cast<uint16_t>(v));
            return 0;
        case QSCLI_ET_DATE: {
            PyObject* date_class = late_date_class();
            if (!date_class) return -1;
            // Only a real date has the fields the library packs.
            if (reinterpret_cast<PyObject*>(Py_TYPE(value)) != date_class || !is_date(value))
                return type_error(value, " expected datetime.date");
            if (!library_has_dates()) {
                raise_message("InterfaceError", "the client library is not loaded: call initlibrary() first");
                return -1;
            }
            put<WORD_CHAR>(out, 2, pack_date(value));
            return 0;
        }
        case QSCLI_ET_NMBR:
            if (int_in_range(value, 0, 16777214, " does not belong to the range from 0 to 16777214", &v) < 0)
                return -1;
            put<NMBR_CHAR>(out, 3, static_cast<uint32_t>(v));
            return 0;
        case QSCLI_ET_LONG:
            if (int_in_range(value, -2147483647LL, 2147483647LL,
                             " does not belong to the range from -2147483647 to 2147483647", &v) < 0)
                return -1;
            put<LONG_CHAR>(out, len, static_cast<int32_t>(v));
            return 0;
        case QSCLI_ET_DWRD:
            if (int_in_range(value, 0, 4294967294LL, " does not belong to the range from 0 to 4294967294", &v) < 0)
                return -1;
            put<DWRD_CHAR>(out, len, static_cast<uint32_t>(v));
            return 0;
        case QSCLI_ET_FLOA:
            if (Py_TYPE(value) != &PyFloat_Type) return type_error(value, " expected float");
            put<FLOA_CHAR>(out, len, narrow(PyFloat_AS_DOUBLE(value)));
            return 0;
        default:  // CURR and DFLT share one branch
            if (Py_TYPE(value) != &PyFloat_Type) return type_error(value, " expected float");
            put<DFLT_CHAR>(out, len, PyFloat_AS_DOUBLE(value));
            return 0;
    }
}

}  // namespace qx::values
