// Loaders of the server's temporal types from their ISO text (the library
// keeps the session's DateStyle ISO and its IntervalStyle postgres). A value
// Python's datetime cannot hold (infinity, a year before 1 or after 9999,
// the time 24:00:00) is refused, never brought nearer.
// The datetime C interface of this file is its own (PyDateTime_IMPORT fills
// a pointer private to each file).
#include "loaders.h"

#include <datetime.h>

#include <cstring>
#include <string>

namespace qx::values {

int load_dates_ready() {
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    return PyDateTimeAPI ? 0 : -1;
}

namespace {

const char kOutside[] = "is outside the range of Python's datetime (years 1 to 9999)";
const char kNotIso[] = "is not in the ISO form the session's DateStyle ISO gives";

// The text of one value, read from the left.
struct Text {
    const char* at;
    const char* end;
    bool done() const { return at == end; }
    bool take(char c) {
        if (at == end || *at != c) return false;
        ++at;
        return true;
    }
    // At least `least` and at most `most` digits.
    bool digits(int least, int most, long long* out) {
        long long v = 0;
        int k = 0;
        while (at != end && k < most && *at >= '0' && *at <= '9') v = v * 10 + (*at++ - '0'), ++k;
        *out = v;
        return k >= least;
    }
    // ".ffffff": up to six digits as microseconds (the server gives no more).
    bool fraction(long long* us) {
        *us = 0;
        if (!take('.')) return true;
        const char* start = at;
        if (!digits(1, 6, us)) return false;
        for (auto k = at - start; k < 6; ++k) *us *= 10;
        return true;
    }
};

bool ends_bc(const char* p, size_t* n) {
    if (*n < 3 || std::memcmp(p + *n - 3, " BC", 3) != 0) return false;
    *n -= 3;
    return true;
}

bool is_infinity(const char* p, size_t n) {
    return (n == 8 && std::memcmp(p, "infinity", 8) == 0) || (n == 9 && std::memcmp(p, "-infinity", 9) == 0);
}

struct Parts {
    long long year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, us = 0;
};

// "YYYY-MM-DD": 0 read, 1 outside Python's years, -1 not the form.
int read_date(Text& t, Parts* d) {
    if (!t.digits(4, 9, &d->year) || !t.take('-') || !t.digits(2, 2, &d->month) || !t.take('-') ||
        !t.digits(2, 2, &d->day))
        return -1;
    return d->year < 1 || d->year > 9999 ? 1 : 0;
}

bool read_clock(Text& t, Parts* d) {
    return t.digits(2, 2, &d->hour) && t.take(':') && t.digits(2, 2, &d->minute) && t.take(':') &&
           t.digits(2, 2, &d->second) && t.fraction(&d->us);
}

// "+HH[:MM[:SS]]" as a tzinfo; offsets repeat, so their objects are kept
// (direct-mapped, until exit). Borrowed; null with an exception.
struct CachedZone {
    long long seconds = 0;
    PyObject* zone = nullptr;
};
CachedZone g_zones[64];

PyObject* zone_of(long long seconds) {
    if (seconds == 0) return PyDateTime_TimeZone_UTC;
    CachedZone& slot = g_zones[static_cast<unsigned long long>(seconds / 60 + 1024) % 64];
    if (slot.zone && slot.seconds == seconds) return slot.zone;
    Ref delta(PyDelta_FromDSU(0, static_cast<int>(seconds), 0));
    Ref zone(delta ? PyTimeZone_FromOffset(delta.get()) : nullptr);
    if (!zone) return nullptr;
    Py_XSETREF(slot.zone, zone.release());
    slot.seconds = seconds;
    return slot.zone;
}

bool read_offset(Text& t, long long* seconds) {
    const bool minus = t.at != t.end && *t.at == '-';
    if (!t.take('+') && !t.take('-')) return false;
    long long h = 0, m = 0, s = 0;
    if (!t.digits(2, 2, &h)) return false;
    if (t.take(':') && (!t.digits(2, 2, &m) || (t.take(':') && !t.digits(2, 2, &s)))) return false;
    *seconds = (minus ? -1 : 1) * (h * 3600 + m * 60 + s);
    return true;
}

// A time of day as Python holds one: 24:00:00 is the server's, not Python's.
PyObject* make_time(const char* type, const char* p, size_t n, const Parts& d, PyObject* zone) {
    if (d.hour > 23) return load_refused(type, p, n, "is outside the range of Python's time (before 24:00:00)");
    return PyDateTimeAPI->Time_FromTime(static_cast<int>(d.hour), static_cast<int>(d.minute),
                                        static_cast<int>(d.second), static_cast<int>(d.us), zone,
                                        PyDateTimeAPI->TimeType);
}

thread_local PyObject* g_reading_zone = nullptr;  // the reading result's session zone (borrowed), or null

// The datetime of `d` in `zone` whose offset is the text's `offset`: a time
// the hour after a clock goes back shows twice, and the offset tells which
// (fold). 1 made, 0 when the zone has no such time (its rules are not the
// server's: a name it reads otherwise, an older tzdata), -1 with an exception.
int in_zone(const Parts& d, long long offset, PyObject* zone, PyObject** out) {
    static PyObject* utcoffset = PyUnicode_InternFromString("utcoffset");  // kept until exit
    if (!utcoffset) return -1;
    for (int fold = 0; fold < 2; ++fold) {
        Ref made(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
            static_cast<int>(d.year), static_cast<int>(d.month), static_cast<int>(d.day), static_cast<int>(d.hour),
            static_cast<int>(d.minute), static_cast<int>(d.second), static_cast<int>(d.us), zone, fold,
            PyDateTimeAPI->DateTimeType));
        if (!made) return -1;
        Ref got(PyObject_CallMethodOneArg(zone, utcoffset, made.get()));
        if (!got) return -1;
        if (PyDelta_Check(got.get()) && PyDateTime_DELTA_GET_MICROSECONDS(got.get()) == 0 &&
            PyDateTime_DELTA_GET_DAYS(got.get()) * 86400LL + PyDateTime_DELTA_GET_SECONDS(got.get()) == offset) {
            *out = made.release();
            return 1;
        }
    }
    return 0;
}

// The offset of a zone written as POSIX does one without summer time, as
// the server shows a zone set by an offset: "<+05:30>-05:30", "UTC+3", or
// with no name at all, "+05:30" (its sign is the other way round: west of
// UTC).
bool posix_offset(const char* p, size_t n, long long* seconds) {
    Text t{p, p + n};
    if (t.take('<')) {
        while (!t.done() && *t.at != '>') ++t.at;
        if (!t.take('>')) return false;
    } else {
        const char* name = t.at;
        while (!t.done() && (*t.at | 0x20) >= 'a' && (*t.at | 0x20) <= 'z') ++t.at;
        if (t.at - name > 0 && t.at - name < 3) return false;
    }
    const bool east = t.take('-');
    if (!east) t.take('+');
    long long h = 0, m = 0, s = 0;
    if (!t.digits(1, 2, &h) || h > 23) return false;
    if (t.take(':') && (!t.digits(2, 2, &m) || (t.take(':') && !t.digits(2, 2, &s)))) return false;
    if (!t.done()) return false;
    *seconds = (east ? 1 : -1) * (h * 3600 + m * 60 + s);
    return true;
}

PyObject* timestamp(const char* type, const char* p, size_t n, bool zoned) {
    size_t len = n;
    if (is_infinity(p, n) || ends_bc(p, &len)) return load_refused(type, p, n, kOutside);
    Text t{p, p + len};
    Parts d;
    const int date = read_date(t, &d);
    if (date > 0) return load_refused(type, p, n, kOutside);
    long long offset = 0;
    if (date < 0 || !t.take(' ') || !read_clock(t, &d) || (zoned && !read_offset(t, &offset)) || !t.done())
        return load_refused(type, p, n, kNotIso);
    if (zoned && g_reading_zone) {
        PyObject* made = nullptr;
        const int found = in_zone(d, offset, g_reading_zone, &made);
        if (found) return found > 0 ? made : nullptr;
    }
    PyObject* zone = zoned ? zone_of(offset) : Py_None;
    if (!zone) return nullptr;
    return PyDateTimeAPI->DateTime_FromDateAndTime(
        static_cast<int>(d.year), static_cast<int>(d.month), static_cast<int>(d.day), static_cast<int>(d.hour),
        static_cast<int>(d.minute), static_cast<int>(d.second), static_cast<int>(d.us), zone,
        PyDateTimeAPI->DateTimeType);
}

}  // namespace

PyObject* swap_reading_zone(PyObject* zone) {
    PyObject* outer = g_reading_zone;
    g_reading_zone = zone;
    return outer;
}

Ref session_zone(const char* name, size_t n) {
    // Kept until exit: the last name asked and its tzinfo, and ZoneInfo.
    static std::string last;
    static PyObject* last_zone = nullptr;
    static PyObject* zone_info = nullptr;
    if (n == 0) return Ref::borrow(Py_None);
    if (last_zone && last.size() == n && std::memcmp(last.data(), name, n) == 0) return Ref::borrow(last_zone);
    if (!zone_info) {
        Ref module(PyImport_ImportModule("zoneinfo"));
        zone_info = module ? PyObject_GetAttrString(module.get(), "ZoneInfo") : nullptr;
        if (!zone_info) return Ref();
    }
    Ref key(PyUnicode_DecodeASCII(name, static_cast<Py_ssize_t>(n), "strict"));
    Ref zone(key ? PyObject_CallOneArg(zone_info, key.get()) : nullptr);
    if (!zone) {
        // A name Python has no rules for: a fixed offset, or else the
        // offsets of the texts.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
        PyErr_Clear();
        long long offset = 0;
        zone = Ref::borrow(posix_offset(name, n, &offset) ? zone_of(offset) : Py_None);
        if (!zone) return Ref();
    }
    last.assign(name, n);
    Py_XSETREF(last_zone, new_ref(zone.get()));
    return zone;
}

PyObject* load_date(const char* p, size_t n) {
    size_t len = n;
    if (is_infinity(p, n) || ends_bc(p, &len)) return load_refused("date", p, n, kOutside);
    Text t{p, p + len};
    Parts d;
    const int date = read_date(t, &d);
    if (date > 0) return load_refused("date", p, n, kOutside);
    if (date < 0 || !t.done()) return load_refused("date", p, n, kNotIso);
    return PyDate_FromDate(static_cast<int>(d.year), static_cast<int>(d.month), static_cast<int>(d.day));
}

PyObject* load_time(const char* p, size_t n) {
    Text t{p, p + n};
    Parts d;
    if (!read_clock(t, &d) || !t.done()) return load_refused("time", p, n, kNotIso);
    return make_time("time", p, n, d, Py_None);
}

PyObject* load_timetz(const char* p, size_t n) {
    Text t{p, p + n};
    Parts d;
    long long offset = 0;
    if (!read_clock(t, &d) || !read_offset(t, &offset) || !t.done()) return load_refused("timetz", p, n, kNotIso);
    PyObject* zone = zone_of(offset);
    return zone ? make_time("timetz", p, n, d, zone) : nullptr;
}

PyObject* load_timestamp(const char* p, size_t n) { return timestamp("timestamp", p, n, false); }

// The offset the text carries is the session's time zone at that moment:
// the datetime is the server's local time there, its tzinfo the session's
// zone when the reading result has one (ReadingScope), else that offset.
PyObject* load_timestamptz(const char* p, size_t n) { return timestamp("timestamptz", p, n, true); }

// IntervalStyle postgres: "1 year 2 mons -3 days +04:05:06.789". A year is
// 365 days and a month 30, as an interval's days and months have no fixed
// length.
PyObject* load_interval(const char* p, size_t n) {
    Text t{p, p + n};
    long long days = 0, seconds = 0, us = 0;
    while (!t.done()) {
        if (t.take(' ')) continue;
        const bool minus = t.at != t.end && *t.at == '-';
        if (!t.take('-')) t.take('+');
        const int sign = minus ? -1 : 1;
        long long v = 0;
        if (!t.digits(1, 18, &v)) return load_refused("interval", p, n, "is not in the IntervalStyle postgres form");
        if (t.take(':')) {
            long long m = 0, s = 0, f = 0;
            if (!t.digits(2, 2, &m) || !t.take(':') || !t.digits(2, 2, &s) || !t.fraction(&f) || v > 3000000000LL)
                return load_refused("interval", p, n, "is not in the IntervalStyle postgres form");
            seconds += sign * (v * 3600 + m * 60 + s);
            us += sign * f;
            continue;
        }
        const char* unit = t.at + 1;
        if (!t.take(' ')) return load_refused("interval", p, n, "is not in the IntervalStyle postgres form");
        while (t.at != t.end && *t.at != ' ') ++t.at;
        const auto len = t.at - unit;
        const long long per = std::strncmp(unit, "year", 4) == 0 && len <= 5 ? 365
                              : std::strncmp(unit, "mon", 3) == 0 && len <= 4 ? 30
                              : std::strncmp(unit, "day", 3) == 0 && len <= 4 ? 1 : 0;
        if (!per || v > 1000000000000LL)
            return load_refused("interval", p, n, "is not in the IntervalStyle postgres form");
        days += sign * v * per;
    }
    // Whole days out of the seconds, the seconds' sign then the days'.
    seconds += us / 1000000;
    us %= 1000000;
    if (us < 0) us += 1000000, seconds -= 1;
    days += seconds / 86400;
    seconds %= 86400;
    if (seconds < 0) seconds += 86400, days -= 1;
    if (days > 999999999 || days < -999999999)
        return load_refused("interval", p, n, "is outside the range of Python's timedelta");
    return PyDelta_FromDSU(static_cast<int>(days), static_cast<int>(seconds), static_cast<int>(us));
}

}  // namespace qx::values
