// Arrow data loaded into a table through the bulk path: each value is
// packed from its Arrow buffers straight into the records qcSqlAddRecords
// takes, a buffer of whole records at a time, so no Python object is made
// for it. The common pairs of an Arrow type and an element type have a
// writer of their own; a value such a writer does not take as it is (out of
// its field's range, a text too long, a type without a writer) goes the
// standard face's way, through its Python value and encode_standard, so
// every refusal is the one a row given by hand gets.
#include "arrow.h"
#include "rows.h"
#include "dictionary.h"

#include "../bulk/load.h"
#include "../cursor/bad_row.h"
#include "../client/calls.h"
#include "../client/loader.h"
#include "../connection/connection.h"
#include "../base/common.h"
#include "../base/pending.h"
#include "../client/cp866.h"
#include "../values/dates.h"
#include "../values/overlays.h"
#include "../values/server_values.h"
#include "../values/shared.h"
#include "../values/values.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace qx::arrow {

namespace {

// What packing one value gives besides 0 and -1 (an exception set).
constexpr int kGeneral = 1;  // the value needs the standard face's rules
constexpr int kAlone = 2;    // a value no record carries (values::goes_alone): the row goes by itself

struct Target;
// Packs the value at row i of view v (not NULL) into the field at `out`.
using Writer = int (*)(const ArrowArrayView* v, int64_t i, const Target& t, unsigned char* out);

// One field of the table and the Arrow column that fills it.
struct Target {
    values::ColumnCodec col;
    int source;             // the Arrow column's position
    const ColumnReader* arrow;    // its reader and type (held by the rows object)
    Writer write;           // null: every value goes the standard face's way
    bool unbounded;         // values::may_go_alone
    uint32_t chars;         // a text field's most characters: in UTF-8 a declared length's n of 4 * n bytes
};

void put_le(unsigned char* out, uint64_t bits, uint32_t len) {
    for (uint32_t k = 0; k < len; ++k) out[k] = k < 8 ? static_cast<unsigned char>(bits >> (8 * k)) : 0;
}

bool is_integer_type(int type) {
    return type == QSCLI_ET_BYTE || type == QSCLI_ET_INTR || type == QSCLI_ET_WORD || type == QSCLI_ET_NMBR ||
           type == QSCLI_ET_LONG || type == QSCLI_ET_DWRD;
}

int write_int(const ArrowArrayView* v, int64_t i, const Target& t, unsigned char* out) {
    const int64_t x = ArrowArrayViewGetIntUnsafe(v, i);
    if (x < values::kLow[t.col.type] || x > values::kHigh[t.col.type]) return kGeneral;
    put_le(out, static_cast<uint64_t>(x), t.col.len);
    return 0;
}

int write_uint(const ArrowArrayView* v, int64_t i, const Target& t, unsigned char* out) {
    const uint64_t x = ArrowArrayViewGetUIntUnsafe(v, i);
    if (x > static_cast<uint64_t>(values::kHigh[t.col.type])) return kGeneral;
    put_le(out, x, t.col.len);
    return 0;
}

int write_int64(const ArrowArrayView* v, int64_t i, const Target&, unsigned char* out) {
    put_le(out, static_cast<uint64_t>(ArrowArrayViewGetIntUnsafe(v, i)), 8);
    return 0;
}

int write_uint64(const ArrowArrayView* v, int64_t i, const Target&, unsigned char* out) {
    const uint64_t x = ArrowArrayViewGetUIntUnsafe(v, i);
    if (x > static_cast<uint64_t>(INT64_MAX)) return kGeneral;
    put_le(out, x, 8);
    return 0;
}

void put_double(unsigned char* out, double d) {
    values::DFLT_CHAR o;
    o.set(d);
    std::memcpy(out, o.bytes, 8);
}

// An integer into a double field: exact up to 2^53; beyond, the standard
// face tells whether the double holds it.
int write_int_real(const ArrowArrayView* v, int64_t i, const Target&, unsigned char* out) {
    const int64_t x = ArrowArrayViewGetIntUnsafe(v, i);
    if (x < -(int64_t{1} << 53) || x > (int64_t{1} << 53)) return kGeneral;
    put_double(out, static_cast<double>(x));
    return 0;
}

int write_real(const ArrowArrayView* v, int64_t i, const Target&, unsigned char* out) {
    const double d = ArrowArrayViewGetDoubleUnsafe(v, i);
    if (std::isnan(d)) return kGeneral;
    put_double(out, d);
    return 0;
}

int write_floa(const ArrowArrayView* v, int64_t i, const Target&, unsigned char* out) {
    const double d = ArrowArrayViewGetDoubleUnsafe(v, i);
    if (std::isnan(d) || (std::isfinite(d) && std::fabs(d) > FLT_MAX)) return kGeneral;
    values::FLOA_CHAR o;
    o.set(static_cast<float>(d));
    std::memcpy(out, o.bytes, 4);
    return 0;
}

int write_bool(const ArrowArrayView* v, int64_t i, const Target& t, unsigned char* out) {
    put_le(out, ArrowArrayViewGetIntUnsafe(v, i) != 0 ? 1 : 0, t.col.len);
    return 0;
}

// The characters of n bytes of UTF-8, or -1 when they are not valid UTF-8
// (an overlong form, a surrogate, past U+10FFFF, cut short).
int64_t utf8_chars(const unsigned char* p, size_t n) {
    int64_t chars = 0;
    size_t k = 0;
    while (k < n) {
        // Eight ASCII bytes at a time.
        if (k + 8 <= n) {
            uint64_t word;
            std::memcpy(&word, p + k, 8);
            if (!(word & 0x8080808080808080ull)) {
                k += 8, chars += 8;
                continue;
            }
        }
        const unsigned char c = p[k];
        size_t more;
        uint32_t low = 0x80, high = 0xBF;  // the second byte's range
        if (c < 0x80) more = 0;
        else if (c >= 0xC2 && c <= 0xDF) more = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else return -1;
        if (more && k + more >= n) return -1;
        for (size_t m = 1; m <= more; ++m) {
            const unsigned char b = p[k + m];
            if (m == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return -1;
        }
        k += more + 1;
        ++chars;
    }
    return chars;
}

// UTF-8 text (or ASCII, on a connection in CP866) into a CHAR field, as
// encode_text lays it out: the bytes, then one NUL and blanks to the
// field's end.
// Whether a text goes into its field as it is.
bool text_fits(const char* p, size_t n, const Target& t) {
    // An empty text may come with no data at all (a column of only '').
    if (n > t.col.len || (n && std::memchr(p, 0, n))) return false;
    const int64_t chars = utf8_chars(reinterpret_cast<const unsigned char*>(p), n);
    return chars >= 0 && chars <= static_cast<int64_t>(t.chars);
}

int put_text(const char* p, size_t n, const Target& t, unsigned char* out) {
    const uint32_t len = t.col.len;
    if (!text_fits(p, n, t)) return kGeneral;
    if (n) std::memcpy(out, p, n);
    if (n < len) {
        out[n] = 0;
        std::memset(out + n + 1, ' ', len - n - 1);
    }
    return 0;
}

// Whether the texts of rows `from` .. `to` of v all fit as they are, told
// from the column's bytes at once: each no longer than its field, and
// every byte ASCII and not NUL (so a byte is a character). False only says
// they are to be checked one by one.
bool ascii_texts_fit(const ArrowArrayView* v, int64_t from, int64_t to, const Target& t) {
    if (v->dictionary) return false;
    const int64_t k0 = from + v->offset, k1 = to + v->offset;
    int64_t first, last, longest = 0;
    if (v->storage_type == NANOARROW_TYPE_STRING) {
        const int32_t* at = v->buffer_views[1].data.as_int32;
        first = at[k0], last = at[k1];
        for (int64_t k = k0; k < k1; ++k) longest = std::max<int64_t>(longest, at[k + 1] - at[k]);
    } else if (v->storage_type == NANOARROW_TYPE_LARGE_STRING) {
        const int64_t* at = v->buffer_views[1].data.as_int64;
        first = at[k0], last = at[k1];
        for (int64_t k = k0; k < k1; ++k) longest = std::max<int64_t>(longest, at[k + 1] - at[k]);
    } else {
        return false;
    }
    if (longest > static_cast<int64_t>(std::min<uint32_t>(t.col.len, t.chars))) return false;
    const unsigned char* p = v->buffer_views[2].data.as_uint8 + first;
    const size_t n = static_cast<size_t>(last - first);
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        uint64_t word;
        std::memcpy(&word, p + k, 8);
        // No byte has its high bit; then one is 0 exactly when taking 1
        // from each sets a high bit.
        if ((word & kHighs) || ((word - kOnes) & kHighs)) return false;
    }
    for (; k < n; ++k)
        if (p[k] == 0 || p[k] >= 0x80) return false;
    return true;
}

// Whether no double of rows `from` .. `to` of v is a NaN, told from the
// column's values at once (a NULL's slot too).
bool no_nan(const ArrowArrayView* v, int64_t from, int64_t to) {
    if (v->dictionary || v->storage_type != NANOARROW_TYPE_DOUBLE) return false;
    const double* d = v->buffer_views[1].data.as_double + v->offset;
    bool nan = false;
    for (int64_t k = from; k < to; ++k) nan |= std::isnan(d[k]);
    return !nan;
}

int write_text(const ArrowArrayView* v, int64_t i, const Target& t, unsigned char* out) {
    const ArrowStringView s = ArrowArrayViewGetStringUnsafe(v, i);
    return put_text(s.data, static_cast<size_t>(s.size_bytes), t, out);
}

int write_date32(const ArrowArrayView* v, int64_t i, const Target&, unsigned char* out) {
    int y, m, d;
    civil_from_days(ArrowArrayViewGetIntUnsafe(v, i), &y, &m, &d);
    if (!year_in_range(y) || !library_has_dates()) return kGeneral;
    const int packed = quick_call(HeldLock(0).get(), [&] {
        return qc.qcSqlPackDate(static_cast<unsigned>(d), static_cast<unsigned>(m), static_cast<unsigned>(y));
    });
    put_le(out, static_cast<uint64_t>(packed) & 0xFFFF, 2);
    return 0;
}

// A timestamp as the text its datetime's isoformat(" ") gives, which both
// servers read as a timestamp: UTC with "+00:00" when it has a time zone.
int write_timestamp(const ArrowArrayView* v, int64_t i, const Target& t, unsigned char* out) {
    const ArrowSchemaView& type = t.arrow->type;
    const Instant at = instant_of(ArrowArrayViewGetIntUnsafe(v, i), type);
    if (at.lost) return kGeneral;  // the reader says what is lost
    int y, m, d;
    civil_from_days(at.days, &y, &m, &d);
    if (y < 1 || y > 9999) return kGeneral;
    char text[48];
    int n = std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", y, m, d, static_cast<int>(at.second / 3600),
                          static_cast<int>(at.second / 60 % 60), static_cast<int>(at.second % 60));
    if (at.micro) n += std::snprintf(text + n, sizeof text - n, ".%06d", static_cast<int>(at.micro));
    if (type.timezone && *type.timezone) n += std::snprintf(text + n, sizeof text - n, "+00:00");
    return put_text(text, static_cast<size_t>(n), t, out);
}

// The writer of an Arrow column for a field, or null when its values go
// the standard face's way.
Writer writer_for(ArrowType arrow, const values::ColumnCodec& col, bool utf8, int dialect) {
    // A server's boolean is its BYTE field, which takes a bool and nothing
    // else, and its numbers take no bool (values::field_value).
    const bool boolean = dialect == QSCLI_DIALECT_PG && col.type == QSCLI_ET_BYTE;
    const bool integer = is_integer_type(col.type) && !boolean;
    const bool real = col.type == QSCLI_ET_DFLT || col.type == QSCLI_ET_CURR;
    switch (arrow) {
        case NANOARROW_TYPE_INT8:
        case NANOARROW_TYPE_INT16:
        case NANOARROW_TYPE_INT32:
        case NANOARROW_TYPE_INT64:
            return integer ? write_int : col.type == QSCLI_ET_INT64 ? write_int64 : real ? write_int_real : nullptr;
        case NANOARROW_TYPE_UINT8:
        case NANOARROW_TYPE_UINT16:
        case NANOARROW_TYPE_UINT32:
        case NANOARROW_TYPE_UINT64:
            return integer ? write_uint : col.type == QSCLI_ET_INT64 ? write_uint64 : nullptr;
        case NANOARROW_TYPE_FLOAT:
        case NANOARROW_TYPE_DOUBLE:
            return real ? write_real : col.type == QSCLI_ET_FLOA ? write_floa : nullptr;
        case NANOARROW_TYPE_BOOL:
            if (dialect == QSCLI_DIALECT_PG) return boolean ? write_bool : nullptr;
            return integer || col.type == QSCLI_ET_INT64 ? write_bool : nullptr;
        case NANOARROW_TYPE_STRING:
        case NANOARROW_TYPE_LARGE_STRING:
        case NANOARROW_TYPE_STRING_VIEW: return col.type == QSCLI_ET_CHAR && utf8 ? write_text : nullptr;
        case NANOARROW_TYPE_DATE32: return col.type == QSCLI_ET_DATE ? write_date32 : nullptr;
        case NANOARROW_TYPE_TIMESTAMP: return col.type == QSCLI_ET_CHAR ? write_timestamp : nullptr;
        default: return nullptr;
    }
}

class ArrowLoad {
public:
    // whole: the data is in memory already (a table), so its batches may
    // all be held for one send.
    ArrowLoad(ConnectionObject* conn, const char* table, RowsObject* rows, PyObject* alone, bool whole)
        : conn_(conn), table_(table), rows_(rows), alone_(alone), batches_(conn, table, values::Face::Standard),
          kept_most_(whole ? SIZE_MAX : kKeptBytes) {}

    Py_ssize_t sent() const { return batches_.sent(); }

    // The fields of `fields` (the table's layout), filled from the Arrow
    // columns `order` names, one a field. 0, or -1 with an exception.
    int prepare(PyObject* fields, PyObject* order, uint32_t flag_bytes, Py_ssize_t per_batch) {
        if (layout_.resolve(fields, values::Purpose::Write, values::Face::Standard) < 0) return -1;
        const auto& cols = layout_.columns();
        if (!PyList_Check(order) || PyList_GET_SIZE(order) != static_cast<Py_ssize_t>(cols.size())) {
            PyErr_SetString(PyExc_ValueError, "the order must name an Arrow column for each field");
            return -1;
        }
        const bool utf8 = text_utf8();
        shape_.reset(new int[2 * cols.size() + 1]);
        columns_.reset(new int[cols.size() + 1]);
        for (size_t j = 0; j < cols.size(); ++j) {
            const long k = PyLong_AsLong(PyList_GET_ITEM(order, static_cast<Py_ssize_t>(j)));
            if (k == -1 && PyErr_Occurred()) return -1;
            if (k < 0 || k >= static_cast<long>(rows_->columns->size())) {
                PyErr_SetString(PyExc_ValueError, "the order names an Arrow column the data does not have");
                return -1;
            }
            const ColumnReader* arrow = &(*rows_->columns)[static_cast<size_t>(k)];
            const bool unbounded = alone_ && values::may_go_alone(cols[j], conn_->dialect);
            const uint32_t chars = utf8 && cols[j].len % 4 == 0 ? cols[j].len / 4 : cols[j].len;
            targets_.push_back({cols[j], static_cast<int>(k), arrow, writer_for(arrow->type.type, cols[j], utf8, conn_->dialect),
                                unbounded, chars});
            shape_[2 * j] = cols[j].type;
            shape_[2 * j + 1] = static_cast<int>(cols[j].len);
            columns_[j] = static_cast<int>(k);
            widest_ = std::max<size_t>(widest_, cols[j].len);
        }
        // Batches go to the library as they are only where a NULL has its flag.
        direct_ = flag_bytes > 0;
        return batches_.open(layout_.record_size(), flag_bytes, per_batch);
    }

    // Loads every row of every batch. 0, or -1 with an exception.
    int run() {
        for (;;) {
            const int more = next_batch(rows_);
            if (more < 0) return -1;
            if (more == 0) break;
            const int64_t length = rows_->batch.length;
            if (direct_) {
                const int kept = keep_direct();
                if (kept < 0) return -1;
                if (kept) continue;
                // The batches kept go before the rows packed.
                if (send_kept() < 0) return -1;
            }
            for (int64_t r = rows_->row; r < length; ++r, ++index_) {
                rows_->row = r + 1;
                unsigned char* out = batches_.record();
                const int packed = pack(r, out);
                if (packed < 0) return -1;
                if (packed == kAlone) {
                    if (store_alone(r) < 0) return -1;
                } else if (batches_.add() < 0) {
                    return -1;
                }
            }
        }
        if (send_kept() < 0) return -1;
        return batches_.send();
    }

    ~ArrowLoad() { drop_kept(); }

private:
    // The most a send of batches kept carries: rows the library counts, and
    // buffers held of a stream that would otherwise have let them go. Each
    // send is a statement of its own on a server, which waits for the last
    // to end before the next begins; data held already goes in one.
    static constexpr int64_t kKeptRows = INT32_MAX;
    static constexpr size_t kKeptBytes = size_t{16} << 20;

    // The current batch kept to go to the library as it is (qcSqlAddArrow)
    // with the batches kept before it, when each of its values would go
    // into its record as it is: 1 when it was kept, 0 when it is to be
    // packed (a value the standard face's way, a library or a field without
    // the capability), -1 with an exception.
    int keep_direct() {
        const int64_t length = rows_->batch.length;
        if (rows_->row != 0 || length == 0 || length > kKeptRows || !plain(0, length)) return 0;
        // Asked once, with no batches, before any are packed: so a library
        // without it sends its records as it always did.
        if (!asked_) {
            asked_ = true;
            if (add_kept() == QSCLI_E_UNSUPPORTED) return direct_ = false, 0;
        }
        const size_t bytes = batch_bytes();
        if (kept_rows_ + length > kKeptRows || kept_bytes_ + bytes > kept_most_) {
            if (send_kept() < 0) return -1;
        }
        // The records packed before it go first.
        if (batches_.send() < 0) return -1;
        kept_.push_back(rows_->batch);
        rows_->batch.release = nullptr;
        kept_rows_ += length;
        kept_bytes_ += bytes;
        rows_->row = length;
        index_ += static_cast<Py_ssize_t>(length);
        return 1;
    }

    int add_kept() {
        const int hdb = conn_->hdb;
        std::vector<ArrowArray*> arrays;
        for (ArrowArray& a : kept_) arrays.push_back(&a);
        return waiting_call(HeldLock(hdb).get(), hdb, [&] {
            return qc.qcSqlAddArrow(hdb, const_cast<char*>(table_), static_cast<int>(targets_.size()), shape_.get(),
                                    columns_.get(), &rows_->schema, arrays.data(), static_cast<int>(arrays.size()));
        });
    }

    // Sends the batches kept, if any. 0, or -1 with an exception.
    int send_kept() {
        if (kept_.empty()) return 0;
        const int rc = add_kept();
        const Py_ssize_t rows = static_cast<Py_ssize_t>(kept_rows_);
        drop_kept();
        // The library answered it would take them: a refusal now is the batch's.
        return batches_.took(rc, rows);
    }

    void drop_kept() {
        for (ArrowArray& a : kept_)
            if (a.release) a.release(&a);
        kept_.clear();
        kept_rows_ = 0;
        kept_bytes_ = 0;
    }

    // The bytes of the current batch's buffers.
    size_t batch_bytes() const {
        size_t bytes = 0;
        for (int64_t k = 0; k < rows_->view.n_children; ++k) {
            const ArrowArrayView* v = rows_->view.children[k];
            for (int b = 0; b < NANOARROW_MAX_FIXED_BUFFERS; ++b) bytes += static_cast<size_t>(v->buffer_views[b].size_bytes);
        }
        return bytes;
    }

    // Whether every value of rows `from` .. `to` is NULL or one its writer
    // takes as it is.
    bool plain(int64_t from, int64_t to) {
        scratch_.resize(widest_ + 1);
        auto* scratch = reinterpret_cast<unsigned char*>(&scratch_[0]);
        const int64_t offset = rows_->view.offset;
        for (const Target& t : targets_) {
            if (!t.write) return false;
            if (t.write == write_int64) continue;  // takes every value
            const ArrowArrayView* v = rows_->view.children[t.source];
            if (t.write == write_text && ascii_texts_fit(v, from + offset, to + offset, t)) continue;
            if (t.write == write_real && no_nan(v, from + offset, to + offset)) continue;
            for (int64_t i = from + offset; i < to + offset; ++i) {
                if (ArrowArrayViewIsNull(v, i)) continue;
                if (t.write == write_text) {
                    const ArrowStringView s = ArrowArrayViewGetStringUnsafe(v, i);
                    if (!text_fits(s.data, static_cast<size_t>(s.size_bytes), t)) return false;
                } else if (t.write(v, i, t, scratch) != 0) {
                    return false;
                }
            }
        }
        return true;
    }

    // Row r of the current batch into the record at `out`: 0, kAlone, or -1
    // with the error naming the row and the field.
    int pack(int64_t r, unsigned char* out) {
        const int64_t i = r + rows_->view.offset;
        unsigned char* flags = batches_.flags(out);
        int packed = 0;
        const size_t n = targets_.size();
        for (size_t j = 0; j < n; ++j) {
            const Target& t = targets_[j];
            int64_t at = i;
            const ArrowArrayView* v = value_view(*t.arrow, rows_->view.children[t.source], &at);
            int rc;
            if (!v && PyErr_Occurred()) {
                rc = -1;
            } else if (!v) {
                std::memset(out, 0, t.col.len);
                if (flags) {
                    flags[j >> 3] |= static_cast<unsigned char>(1u << (j & 7));
                    rc = 0;
                } else {
                    rc = -1;
                    raise_message("NotSupportedError", "the client library cannot load NULL (None)");
                }
            } else {
                rc = t.write ? t.write(v, at, t, out) : kGeneral;
                if (rc == kGeneral) rc = general(t, v, at, out);
            }
            if (rc < 0) return name_row(r, static_cast<Py_ssize_t>(j)), -1;
            if (rc == kAlone) packed = kAlone;
            out += t.col.len;
        }
        return packed;
    }

    // A value the standard face's way: its Python value, held to its field
    // exactly as a row given by hand is.
    int general(const Target& t, const ArrowArrayView* v, int64_t i, unsigned char* out) {
        Ref value(t.arrow->read(v, i, t.arrow->type));
        if (!value) return value_refused();
        Ref field = values::field_value(t.col.type, conn_->dialect, value.get());
        if (!field) return -1;
        if (t.unbounded) {
            const int alone = values::goes_alone(t.col, field.get());
            if (alone) return alone < 0 ? -1 : kAlone;
        }
        bool is_null = false;
        return values::encode_standard(t.col, field.get(), out, &is_null);
    }

    // A value Python cannot hold (a text that is no UTF-8, a year past
    // 9999) is the data's fault: DataError with the reader's reason.
    static int value_refused() {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
        if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            PyErr_Clear();
            return raise_message("DataError", "the text is not valid UTF-8"), -1;
        }
        Ref why(take_pending());
        Ref reason(why ? PyObject_Str(why.get()) : nullptr);
        if (reason) raise_object("DataError", reason.get());
        return -1;
    }

    // The Python values of row r in the table's field order.
    Ref table_row(int64_t r) {
        Ref arrow_order(row_values(rows_, r));
        if (!arrow_order) return Ref();
        Ref row(PyTuple_New(static_cast<Py_ssize_t>(targets_.size())));
        if (!row) return Ref();
        for (size_t j = 0; j < targets_.size(); ++j) {
            PyObject* item = PyTuple_GET_ITEM(arrow_order.get(), targets_[j].source);
            Py_INCREF(item);
            PyTuple_SET_ITEM(row.get(), static_cast<Py_ssize_t>(j), item);
        }
        return row;
    }

    // Renames the pending error so it names the row and field j (-1: the
    // row as a whole), and tells the rows sent before it.
    void name_row(int64_t r, Py_ssize_t j) {
        PyObject* pending = take_pending();
        Ref row = table_row(r);
        Ref name;
        if (j >= 0) {
            PyObject* item = PyList_GET_ITEM(rows_->fields, targets_[static_cast<size_t>(j)].source);
            name = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        }
        PyErr_Clear();
        raise_pending(pending);
        name_bad_row(row ? row.get() : Py_None, index_, name.get(), j);
        annotate_pending(batches_.sent());
    }

    // A row with a text longer than its unbounded field: the records before
    // it are sent, then it is stored by itself.
    int store_alone(int64_t r) {
        if (batches_.send() < 0) return -1;
        Ref row = table_row(r);
        if (!row) return name_row(r, -1), -1;
        Ref done(PyObject_CallOneArg(alone_, row.get()));
        if (!done) return name_row(r, -1), -1;
        batches_.stored_alone();
        return 0;
    }

    ConnectionObject* conn_;
    const char* table_;  // the encoded name, kept by the caller
    RowsObject* rows_;
    PyObject* alone_;  // borrowed: stores a row by itself; null when none
    values::ColumnLayout layout_;
    std::vector<Target> targets_;
    RecordBatches batches_;
    Py_ssize_t index_ = 0;  // the row being packed, counted from the first batch
    // The fields as records carry them (element type, len) and the Arrow
    // column of each, for qcSqlAddArrow. Arrays and a string, whose code is
    // not the module's to export as a vector's would be.
    std::unique_ptr<int[]> shape_, columns_;
    size_t widest_ = 0;
    std::string scratch_;  // a field's bytes, written to be checked
    bool direct_ = false;  // batches may go to the library as they are
    bool asked_ = false;   // the library was asked whether it takes them
    size_t kept_most_;     // the most bytes of batches kept for one send
    std::vector<ArrowArray> kept_;  // batches to go to the library as they are, owned
    int64_t kept_rows_ = 0;
    size_t kept_bytes_ = 0;
};

}  // namespace

PyObject* arrow_load(PyObject*, PyObject* args) {
    PyObject *connection, *table_name, *rows_obj, *order, *cursor = Py_None, *alone = Py_None;
    int whole = 0;
    if (!PyArg_ParseTuple(args, "OUOO|OOp:arrow_load", &connection, &table_name, &rows_obj, &order, &cursor, &alone,
                          &whole))
        return nullptr;
    RowsObject* rows = as_rows(rows_obj);
    LoadSetup setup;
    if (!rows || setup.open(connection, table_name, cursor, -1) < 0) return nullptr;
    ArrowLoad load(setup.conn, setup.table, rows, alone == Py_None ? nullptr : alone, whole != 0);
    if (load.prepare(setup.layout.fields.get(), order, setup.flag_bytes, setup.per_batch) < 0 ||
        setup.claim_cursor() < 0)
        return nullptr;
    const int done = load.run();
    return setup.finish(done < 0, load.sent());
}

}  // namespace qx::arrow
