// ColumnLayout: a Field list resolved once into columns, with the length rule that
// keeps every read and write within its field.
#include "shared.h"

#include "field.h"

namespace qx::values {

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

int ColumnLayout::resolve(PyObject* fields, Purpose purpose, Face face, const std::vector<ServerType>* server_types) {
    columns_.clear();
    record_size_ = 0;
    resolved_ = false;
    foreign_ = false;
    // Taken before anything runs: a comparison below may run Python code, and
    // whatever it changes must make the result stale, not slip past it.
    const uint64_t moment = LateBound::now();
    const uint64_t f_version = field_version;

    Ref seq(PySequence_Fast(fields, "the columns must be a list of Field objects"));
    if (!seq) return -1;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<ColumnCodec> columns;
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
        if (face == Face::Standard && !overflow && t == QSCLI_ET_INT64 && l == 8) {
            // The optional 64-bit type: only a statement of the standard
            // face asks for it, and its code has no QSCLI_ET_* name.
            columns.push_back(ColumnCodec{QSCLI_ET_INT64, 8, standard_decoder(QSCLI_ET_INT64, nullptr)});
            size += 8;
            continue;
        }
        if (face == Face::Standard && !overflow && t == QSCLI_ET_DECIMAL && l > 0 && l <= UINT32_MAX) {
            // A number as its text: a table's numeric field, when the
            // standard face's loads take it so (QSCLI_ATTR_SERVER_TYPES).
            columns.push_back(ColumnCodec{QSCLI_ET_DECIMAL, static_cast<uint32_t>(l), standard_decoder(QSCLI_ET_CHAR, nullptr)});
            size += static_cast<uint64_t>(l);
            continue;
        }
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
        if (face == Face::Standard) decode = standard_decoder(code, decode);
        columns.push_back(ColumnCodec{code, length, decode});
        const size_t at = static_cast<size_t>(i);
        if (face == Face::Standard && server_types && at < server_types->size() &&
            choose_loader(columns.back(), (*server_types)[at].oid) < 0)
            return -1;
        size += length;
    }
    columns_ = std::move(columns);
    record_size_ = size;
    plain_ = true;
    arrays_ = 0;
    for (const ColumnCodec& col : columns_) {
        plain_ = plain_ && plain_loader(col);
        arrays_ += col.type == QSCLI_ET_ARRA;
    }
    names_.keep(moment);
    field_version_ = f_version;
    resolved_ = true;
    return 0;
}

bool ColumnLayout::current() const {
    return resolved_ && !foreign_ && names_.holds() && field_version_ == field_version;
}

}  // namespace qx::values
