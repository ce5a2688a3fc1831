// Quoting names and strings in the SQL the library writes itself.
#include "sqltext.h"

namespace qse {

namespace {
std::string quoted(const std::string& s, char quote) {
    std::string q(1, quote);
    for (char c : s) {
        if (c == quote) q += quote;
        q += c;
    }
    return q + quote;
}
}  // namespace

std::string quote_ident(const std::string& name) { return quoted(name, '"'); }
std::string quote_literal(const std::string& s) { return quoted(s, '\''); }

}  // namespace qse
