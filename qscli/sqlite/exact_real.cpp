// Reals read from text exactly. SQLite's own conversion multiplies by powers
// of ten and is not correctly rounded (1.5e300 reads 1.4999999999999998e+300,
// about one 17-digit text in seven reads one unit off), so a value written
// as a literal would differ from the same value bound. The engine's copy of
// SQLite calls qse_exact_real() from its sqlite3AtoF (the build patches it in,
// CMakeLists.txt here), so every text SQLite reads as a number, a literal in
// any statement or a text given a numeric column, reads the nearest double.
#include "exact_real.h"

#include <charconv>
#include <cmath>
#include <string>

namespace qse {

namespace {

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The characters of a UTF-8 or UTF-16 text, ASCII only (0 past the end or
// at any other character).
class Chars {
public:
    Chars(const char* z, int length, int enc) : z_(z), n_(length < 0 ? 0 : length), enc_(enc) {}
    char at(int i) const {
        if (enc_ == 1) return i < n_ ? z_[i] : 0;
        const int b = 2 * i;
        if (b + 1 >= n_) return 0;
        const char lo = z_[b + (enc_ == 3)], hi = z_[b + (enc_ != 3)];
        return hi ? 0 : lo;
    }

private:
    const char* z_;
    int n_;
    int enc_;
};

// The number at the start of `s` (after blanks) in the form from_chars
// reads: [-]digits[.digits][e[-]digits], the exponent only with digits.
void number_text(const Chars& s, std::string& out) {
    int i = 0;
    while (is_blank(s.at(i))) ++i;
    if (s.at(i) == '-') out += '-';
    if (s.at(i) == '-' || s.at(i) == '+') ++i;
    while (is_digit(s.at(i))) out += s.at(i++);
    if (s.at(i) == '.') {
        out += s.at(i++);
        while (is_digit(s.at(i))) out += s.at(i++);
    }
    if (s.at(i) != 'e' && s.at(i) != 'E') return;
    int k = i + 1;
    const char sign = s.at(k);
    if (sign == '-' || sign == '+') ++k;
    if (!is_digit(s.at(k))) return;
    out += 'e';
    if (sign == '-') out += '-';
    while (is_digit(s.at(k))) out += s.at(k++);
}

}  // namespace

bool exact_real(const char* b, const char* e, double* v) {
    const auto r = std::from_chars(b, e, *v);
    return r.ec == std::errc() && r.ptr == e;
}

}  // namespace qse

extern "C" void qse_exact_real(const char* z, int length, int enc, double* v) {
    std::string text;
    qse::number_text(qse::Chars(z, length, enc), text);
    double exact;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), exact);
    if (r.ec == std::errc()) {
        if (r.ptr != text.data()) *v = exact;
    } else if (r.ec == std::errc::result_out_of_range) {
        // Beyond the largest double, or nearer 0 than the smallest.
        *v = std::copysign(std::fabs(*v) >= 1 ? HUGE_VAL : 0.0, *v);
    }
}
