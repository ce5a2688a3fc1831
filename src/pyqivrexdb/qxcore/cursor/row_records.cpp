// Rows of executemany as records, their values adapted already (the
// cursor's executemany adapts each row once) and classified as their
// literals are (values/classify.h): an int as a 64-bit integer, a float or
// a Decimal as the double the engine reads, texts and dates in CP866 as the
// literal's text. A value the literal refuses (NaN, a character CP866
// lacks, an int beyond 64 bits) or has no record field for sends its row
// down the per-row path, which writes or refuses it as ever.
#include "row_records.h"

#include "../connection/kept_layouts.h"
#include "../client/calls.h"
#include "../client/loader.h"
#include "../client/causes.h"
#include "../client/cp866.h"
#include "../values/classify.h"
#include "../values/dates.h"
#include "binding.h"

#include <cmath>
#include <cstring>

namespace qx {

namespace {

// A batch holds at most this many rows, and records of at most this many
// bytes (a row wider than that goes alone).
constexpr size_t kMaxRows = 4096;
constexpr size_t kMaxBytes = size_t{4} << 20;
// A row whose texts and blobs take more goes the per-row way: its literals
// could make a statement longer than the engine reads, and the refusal must
// be the same.
constexpr size_t kMaxRowBytes = size_t{1} << 20;

bool library_runs_records() { return qc.qcSqlExecRecords != EntryPoints().qcSqlExecRecords; }

}  // namespace

RowRecords::RowRecords(CursorObject* c, PyObject* operation, int dialect) : c_(c) {
    if (library_runs_records()) text_ = positional_text(operation, dialect, &marks_);
    fields_.resize(static_cast<size_t>(marks_), Field{K_NULL, 0});
}

// The first batch is one row: a library that refuses the statement has then
// cost one row's packing.
bool RowRecords::full() const { return rows_.size() >= (accepted_ ? kMaxRows : 1); }

int RowRecords::stage_text(PyObject* value, Staged* out) {
    const size_t at = arena_.size();
    if (text_utf8()) {
        // The str's own UTF-8, kept with it: no copy of an ASCII one.
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(value, &n);
        if (!p) return PyErr_Clear(), 0;
        arena_.append(p, static_cast<size_t>(n));
    } else if (PyUnicode_CheckExact(value)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
        arena_.resize(at + static_cast<size_t>(n));
        if (cp866_encode_into(value, reinterpret_cast<unsigned char*>(&arena_[at]), n) != n) return PyErr_Clear(), 0;
    } else {
        Ref encoded = cp866_bytes(value);
        if (!encoded) return PyErr_Clear(), 0;
        arena_.append(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    }
    *out = {K_TEXT, 0, 0, at, arena_.size() - at};
    return std::memchr(arena_.data() + at, 0, out->n) ? 0 : 1;
}

// The value's ISO text, as its literal quotes it.
int RowRecords::stage_iso(PyObject* value, values::Kind kind, Staged* out) {
    Ref text = values::iso_text(value, kind);
    Py_ssize_t n = 0;
    const char* p = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
    if (!p || std::memchr(p, 0, static_cast<size_t>(n))) return PyErr_Clear(), 0;
    *out = {K_TEXT, 0, 0, arena_.size(), static_cast<size_t>(n)};
    arena_.append(p, static_cast<size_t>(n));
    return 1;
}

// 1 with the value staged, 0 for a value the per-row path must take.
int RowRecords::stage(PyObject* value, Staged* out) {
    *out = {K_NULL, 0, 0, 0, 0};
    values::Classified v;
    if (values::classify_value(value, &v) < 0) return PyErr_Clear(), 0;
    switch (v.kind) {
    case values::Kind::NONE: return 1;
    case values::Kind::BOOL:  // TRUE and FALSE, which the engine reads as 1 and 0
    case values::Kind::INT: out->kind = K_INT; out->i = v.i; return 1;
    case values::Kind::REAL: out->kind = K_REAL; out->d = v.d; return std::isnan(v.d) ? 0 : 1;
    case values::Kind::DECIMAL: return stage_decimal(v, value, out);
    case values::Kind::TEXT: return stage_text(value, out);
    case values::Kind::BYTES: {
        Py_buffer view;
        if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) return PyErr_Clear(), 0;
        *out = {K_BLOB, 0, 0, arena_.size(), static_cast<size_t>(view.len)};
        arena_.append(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
        PyBuffer_Release(&view);
        return 1;
    }
    case values::Kind::DATETIME:
    case values::Kind::TIME: return stage_iso(value, v.kind, out);
    case values::Kind::DATE: {
        int y, m, d;
        date_parts(value, &y, &m, &d);
        if (!year_in_range(y)) return 0;
        // YYYY-MM-DD, as the literal writes it; no formatting call a value.
        const char text[10] = {char('0' + y / 1000),     char('0' + y / 100 % 10), char('0' + y / 10 % 10),
                               char('0' + y % 10),       '-',                      char('0' + m / 10),
                               char('0' + m % 10),       '-',                      char('0' + d / 10),
                               char('0' + d % 10)};
        *out = {K_TEXT, 0, 0, arena_.size(), 10};
        arena_.append(text, 10);
        return 1;
    }
    case values::Kind::BIG_INT:
    case values::Kind::SERVER:
    case values::Kind::OTHER: break;
    }
    return 0;
}

// A Decimal as the engine reads its literal: an integer of 64 bits as one,
// any other number as the double that gives it back exactly.
int RowRecords::stage_decimal(const values::Classified& v, PyObject* value, Staged* out) {
    if (v.special()) return 0;
    const char* p = PyUnicode_AsUTF8(v.text.get());
    if (!p) return PyErr_Clear(), 0;
    if (values::is_int64_text(p)) {
        out->kind = K_INT;
        out->i = std::strtoll(p, nullptr, 10);
        return 1;
    }
    if (values::exact_double(v, value, nullptr, &out->d) < 0) return PyErr_Clear(), 0;
    out->kind = K_REAL;
    return 1;
}

int RowRecords::add(PyObject* params) {
    if (!PyTuple_Check(params) && !PyList_Check(params)) return 0;
    // A list's items are read once each, as the per-row path reads them.
    Ref held(PySequence_Fast(params, "the values must be a sequence"));
    if (!held) return -1;
    if (PySequence_Fast_GET_SIZE(held.get()) != marks_) return 0;
    const size_t arena_mark = arena_.size();
    const size_t values_mark = values_.size();
    values_.resize(values_mark + static_cast<size_t>(marks_));
    Staged* row = &values_[values_mark];
    bool fits = true;
    size_t width = 0;
    for (Py_ssize_t k = 0; k < marks_; ++k) {
        // Staging a value may run Python code (a date's isoformat) that
        // changes a list: its length is read again.
        int got = k < PySequence_Fast_GET_SIZE(held.get()) ? stage(PySequence_Fast_GET_ITEM(held.get(), k), &row[k])
                                                           : 0;
        if (got > 0 && arena_.size() - arena_mark > kMaxRowBytes) got = 0;
        if (got <= 0) {
            values_.resize(values_mark);
            arena_.resize(arena_mark);
            return got;
        }
        const int was = fields_[static_cast<size_t>(k)].kind;
        if (row[k].kind != K_NULL && was != K_NULL && was != row[k].kind) fits = false;
        const bool sized = row[k].kind == K_TEXT || row[k].kind == K_BLOB;
        width += sized ? std::max(fields_[static_cast<size_t>(k)].width, row[k].n) : 8;
    }
    if (!rows_.empty() && (!fits || width * (rows_.size() + 1) > kMaxBytes)) {
        // The first row of the next batch.
        carry_.assign(row, row + marks_);
        carry_arena_.assign(arena_, arena_mark, std::string::npos);
        for (Staged& v : carry_) v.at -= arena_mark;
        carry_row_ = Ref::borrow(params);
        values_.resize(values_mark);
        arena_.resize(arena_mark);
        return 1;
    }
    take(row);
    rows_.push_back(Ref::borrow(params));
    return 1;
}

// Notes the kinds and widths of the row just staged.
void RowRecords::take(const Staged* row) {
    for (size_t k = 0; k < static_cast<size_t>(marks_); ++k) {
        if (row[k].kind != K_NULL) fields_[k].kind = row[k].kind;
        if (row[k].n > fields_[k].width) fields_[k].width = row[k].n;
    }
}

void RowRecords::pack(std::string& records, std::vector<TypeLen>& layout) const {
    const size_t n = static_cast<size_t>(marks_);
    layout.clear();
    size_t size = 0, arra = 0;
    for (const Field& f : fields_) {
        const int type = f.kind == K_TEXT ? QSCLI_ET_CHAR : f.kind == K_BLOB ? QSCLI_ET_ARRA
                         : f.kind == K_REAL ? QSCLI_ET_DFLT : QSCLI_ET_INT64;
        const size_t len = f.kind == K_TEXT || f.kind == K_BLOB ? std::max<size_t>(f.width, 1) : 8;
        layout.push_back({type, static_cast<int>(len)});
        size += len;
        arra += f.kind == K_BLOB;
    }
    const size_t flags_at = size;
    size += (n + 7) / 8 + 4 * arra;
    records.assign(size * rows_.size(), '\0');
    for (size_t r = 0; r < rows_.size(); ++r) {
        auto* rec = reinterpret_cast<unsigned char*>(&records[r * size]);
        unsigned char* length = rec + flags_at + (n + 7) / 8;
        size_t off = 0;
        for (size_t k = 0; k < n; ++k) {
            const Staged& v = values_[r * n + k];
            const size_t len = static_cast<size_t>(layout[k].len);
            switch (v.kind) {
            case K_NULL: rec[flags_at + (k >> 3)] |= static_cast<unsigned char>(1u << (k & 7)); break;
            case K_INT: {
                const uint64_t bits = static_cast<uint64_t>(v.i);
                for (int b = 0; b < 8; ++b) rec[off + b] = static_cast<unsigned char>(bits >> (8 * b));
                break;
            }
            case K_REAL: std::memcpy(rec + off, &v.d, 8); break;
            default: std::memcpy(rec + off, arena_.data() + v.at, v.n); break;
            }
            if (layout[k].type == QSCLI_ET_ARRA) {
                const uint32_t bytes = static_cast<uint32_t>(v.n);
                for (int b = 0; b < 4; ++b) length[b] = static_cast<unsigned char>(bytes >> (8 * b));
                length += 4;
            }
            off += len;
        }
    }
}

void RowRecords::clear() {
    rows_.clear();
    values_.clear();
    arena_.clear();
    for (Field& f : fields_) f = Field{K_NULL, 0};
}

// The row carried over becomes the batch's first.
void RowRecords::start_next() {
    clear();
    if (!carry_row_) return;
    values_ = std::move(carry_);
    arena_ = std::move(carry_arena_);
    take(values_.data());
    rows_.push_back(std::move(carry_row_));
    carry_.clear();
    carry_arena_.clear();
}

int RowRecords::run(long long* changes, std::vector<Ref>* left) {
    if (rows_.empty()) return 0;
    std::string records;
    std::vector<TypeLen> layout;
    pack(records, layout);
    static_assert(sizeof(TypeLen) == 2 * sizeof(int), "pairs of ints");
    const auto* pairs = reinterpret_cast<const int*>(layout.data());
    const uint32_t rec_size = static_cast<uint32_t>(records.size() / rows_.size());
    if (c_->vtab->reset(c_) < 0) return -1;
    const char* sql = PyBytes_AS_STRING(text_.get());
    layouts_see_statement(c_->hdb, sql);
    const int32_t hstmt = c_->stmt_handle;
    const int fields = static_cast<int>(marks_);
    const qc_long count = static_cast<qc_long>(rows_.size());
    qc_long done = 0;
    int64_t changed = 0;
    const int rc = waiting_call(c_->lock, c_->hdb, [&] {
        return qc.qcSqlExecRecords(hstmt, sql, fields, pairs, count, rec_size, &records[0], &done,
                                   &changed);
    });
    if (rc == QSCLI_E_UNSUPPORTED && done == 0) {
        // Nothing ran: every row taken goes the per-row way, in order.
        refused_ = true;
        for (Ref& row : rows_) left->push_back(std::move(row));
        if (carry_row_) left->push_back(std::move(carry_row_));
        clear();
        return 0;
    }
    *changes += changed;
    if (rc != 0) {
        // As the failing row's own execute would have raised it.
        Ref text = statement_error_text(hstmt, c_->lock);
        raise_by_cause(rc, text.get(), "qcSqlExecDirect");
        carry_row_ = Ref();
        clear();
        return -1;
    }
    c_->has_results = 1;
    c_->columns_count = QSCLI_RES_NONE;
    accepted_ = true;
    start_next();
    return 1;
}

}  // namespace qx
