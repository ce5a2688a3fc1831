// The library's own settings in a PostgreSQL name, taken out before libpq
// reads the rest (libpq refuses a keyword it does not know).
#include "session.h"

namespace qse {
namespace pg {

namespace {

bool blank(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v'; }

// URI form: KEY=VALUE among the query's &-separated parameters.
bool take_from_uri(std::string& name, const std::string& key, std::string* value) {
    size_t q = name.find('?');
    if (q == std::string::npos) return false;
    for (size_t b = q + 1; b <= name.size();) {
        size_t e = name.find('&', b);
        if (e == std::string::npos) e = name.size();
        std::string param = name.substr(b, e - b);
        if (param.compare(0, key.size() + 1, key + "=") == 0) {
            *value = param.substr(key.size() + 1);
            // The separator before it goes with it ('?' stays when it leads).
            if (e < name.size()) name.erase(b, e + 1 - b);
            else name.erase(b - 1, e - b + 1);
            return true;
        }
        b = e + 1;
    }
    return false;
}

// Keyword form: KEY = VALUE, the value bare or in single quotes, a backslash
// taking the next character as it is.
bool take_from_keywords(std::string& name, const std::string& key, std::string* value) {
    size_t p = 0, n = name.size();
    while (p < n) {
        while (p < n && blank(name[p])) ++p;
        size_t start = p;
        while (p < n && !blank(name[p]) && name[p] != '=') ++p;
        std::string word = name.substr(start, p - start);
        while (p < n && blank(name[p])) ++p;
        if (p >= n || name[p] != '=') return false;  // libpq will say what is wrong
        ++p;
        while (p < n && blank(name[p])) ++p;
        std::string v;
        if (p < n && name[p] == '\'') {
            for (++p; p < n && name[p] != '\''; ++p) {
                if (name[p] == '\\' && p + 1 < n) ++p;
                v += name[p];
            }
            if (p < n) ++p;
        } else {
            for (; p < n && !blank(name[p]); ++p) {
                if (name[p] == '\\' && p + 1 < n) ++p;
                v += name[p];
            }
        }
        if (word == key) {
            *value = v;
            name.erase(start, p - start);
            return true;
        }
    }
    return false;
}

}  // namespace

bool take_option(std::string& name, const std::string& key, std::string* value) {
    size_t scheme = name.find("://");
    bool uri = scheme != std::string::npos && name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") == scheme;
    return uri ? take_from_uri(name, key, value) : take_from_keywords(name, key, value);
}

}  // namespace pg
}  // namespace qse
