// Quoting names and strings in the SQL the library writes itself.
#include "sqltext.h"

namespace qse {

std::string quote_ident(const std::string& name) {
    std::string q = "\"";
    for (char c : name) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

std::string quote_literal(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += '\'';
        q += c;
    }
    return q + "'";
}

}  // namespace qse
