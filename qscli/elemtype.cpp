// Declared SQL types and the element types they map onto.
#include "elemtype.h"

#include <cstring>

namespace qse {

namespace {

enum Shape { FIXED, CHARLIKE, BINLIKE };

struct TypeWord {
    const char* word;
    int type;
    Shape shape;
};

// The first word of a declared type, upper case. CHAR-like and binary
// words take a length in parentheses; without one the width follows the data.
const TypeWord TYPE_WORDS[] = {
    {"CHAR", QSCLI_ET_CHAR, CHARLIKE},      {"VARCHAR", QSCLI_ET_CHAR, CHARLIKE},
    {"CHARACTER", QSCLI_ET_CHAR, CHARLIKE}, {"NCHAR", QSCLI_ET_CHAR, CHARLIKE},
    {"NVARCHAR", QSCLI_ET_CHAR, CHARLIKE},  {"TEXT", QSCLI_ET_CHAR, CHARLIKE},
    {"CLOB", QSCLI_ET_CHAR, CHARLIKE},      {"STRING", QSCLI_ET_CHAR, CHARLIKE},
    {"BINARY", QSCLI_ET_ARRA, BINLIKE},     {"VARBINARY", QSCLI_ET_ARRA, BINLIKE},
    {"BLOB", QSCLI_ET_ARRA, BINLIKE},       {"ARRA", QSCLI_ET_ARRA, BINLIKE},
    {"BYTE", QSCLI_ET_BYTE, FIXED},         {"TINYINT", QSCLI_ET_BYTE, FIXED},
    {"BOOLEAN", QSCLI_ET_BYTE, FIXED},      {"BOOL", QSCLI_ET_BYTE, FIXED},
    {"SMALLINT", QSCLI_ET_INTR, FIXED},     {"INTR", QSCLI_ET_INTR, FIXED},
    {"WORD", QSCLI_ET_WORD, FIXED},         {"DATE", QSCLI_ET_DATE, FIXED},
    {"NMBR", QSCLI_ET_NMBR, FIXED},         {"INTEGER", QSCLI_ET_LONG, FIXED},
    {"INT", QSCLI_ET_LONG, FIXED},          {"LONG", QSCLI_ET_LONG, FIXED},
    {"MEDIUMINT", QSCLI_ET_LONG, FIXED},    {"DWORD", QSCLI_ET_DWRD, FIXED},
    {"DWRD", QSCLI_ET_DWRD, FIXED},         {"FLOAT", QSCLI_ET_FLOA, FIXED},
    {"FLOA", QSCLI_ET_FLOA, FIXED},         {"MONEY", QSCLI_ET_CURR, FIXED},
    {"CURRENCY", QSCLI_ET_CURR, FIXED},     {"CURR", QSCLI_ET_CURR, FIXED},
    {"DOUBLE", QSCLI_ET_DFLT, FIXED},       {"REAL", QSCLI_ET_DFLT, FIXED},
    {"DFLT", QSCLI_ET_DFLT, FIXED},         {"NUMERIC", QSCLI_ET_DFLT, FIXED},
    {"DECIMAL", QSCLI_ET_DFLT, FIXED},      {"BIGINT", QSCLI_ET_DFLT, FIXED},
    {"INT8", QSCLI_ET_DFLT, FIXED},
};

constexpr uint32_t MAX_DECLARED_WIDTH = 1u << 24;

bool is_word_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Parses `s` (n bytes) as a type: first word, optional "(n)". `rest` receives
// whether anything but blanks follows the parsed part.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The first word of a declared type, upper-cased into `word`, from s[*k];
// false when it is empty or longer than any type word.
bool first_word(const char* s, size_t n, size_t* k, char (&word)[16]) {
    while (*k < n && is_blank(s[*k])) ++*k;
    size_t w = 0;
    while (*k < n && is_word_char(static_cast<unsigned char>(s[*k]))) {
        if (w == sizeof word - 1) return false;
        char c = s[(*k)++];
        word[w++] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
    word[w] = 0;
    return w > 0;
}

// Further words ("DOUBLE PRECISION", "CHARACTER VARYING") and a length in
// parentheses from s[*k]; true when a length was given (in *len).
bool length_of(const char* s, size_t n, size_t* k, uint64_t* len) {
    bool has_len = false;
    while (*k < n && s[*k] != '(') {
        unsigned char c = static_cast<unsigned char>(s[*k]);
        if (!is_word_char(c) && c != ' ' && c != '\t') break;
        ++*k;
    }
    if (*k < n && s[*k] == '(') {
        ++*k;
        while (*k < n && s[*k] == ' ') ++*k;
        while (*k < n && s[*k] >= '0' && s[*k] <= '9') {
            has_len = true;
            if (*len <= MAX_DECLARED_WIDTH) *len = *len * 10 + (s[*k] - '0');
            ++*k;
        }
        while (*k < n && s[*k] != ')') ++*k;
        if (*k < n) ++*k;
    }
    return has_len;
}

bool lookup(const char* s, size_t n, ElemType* out, bool* trailing) {
    size_t k = 0;
    char word[16];
    if (!first_word(s, n, &k, word)) return false;
    const TypeWord* hit = nullptr;
    for (const TypeWord& t : TYPE_WORDS)
        if (std::strcmp(t.word, word) == 0) hit = &t;
    if (!hit) return false;
    uint64_t len = 0;
    const bool has_len = length_of(s, n, &k, &len);
    while (k < n && is_blank(s[k])) ++k;
    if (trailing) *trailing = k < n;
    ElemType e;
    e.type = hit->type;
    e.int64 = std::strcmp(word, "BIGINT") == 0 || std::strcmp(word, "INT8") == 0;
    if (hit->shape == FIXED) {
        e.len = natural_width(hit->type);
    } else if (has_len && len >= 1 && len <= MAX_DECLARED_WIDTH) {
        e.len = static_cast<uint32_t>(len);
    } else {
        e.var = true;
    }
    *out = e;
    return true;
}

}  // namespace

#define QSE_WIDTH(name, code, width, low, high) width,
#define QSE_NAME(name, code, width, low, high) #name,
constexpr uint32_t kWidths[QSCLI_ET_COUNT] = {QSCLI_ELEMENT_TYPES(QSE_WIDTH)};
constexpr const char* kNames[QSCLI_ET_COUNT] = {QSCLI_ELEMENT_TYPES(QSE_NAME)};
#undef QSE_WIDTH
#undef QSE_NAME

uint32_t natural_width(int type) {
    if (type == QSCLI_ET_INT64) return 8;
    return type >= 0 && type < QSCLI_ET_COUNT ? kWidths[type] : 0;
}

const char* type_name(int type) {
    if (type == QSCLI_ET_INT64) return "INT64";
    return type >= 0 && type < QSCLI_ET_COUNT ? kNames[type] : "?";
}

ElemType map_decltype(const char* decl) {
    ElemType e;
    if (!decl || !lookup(decl, std::strlen(decl), &e, nullptr)) {
        e = ElemType();
        e.infer = true;
    }
    return e;
}

bool parse_type_name(const char* name, size_t n, ElemType* out) {
    bool trailing = false;
    return lookup(name, n, out, &trailing) && !trailing;
}

}  // namespace qse
