#include "mtp/MTPDate.h"

#include <ctime>

namespace mtp {

namespace {

// Reads count ASCII digits at text[at]; false when any is not a digit.
bool digits(std::string_view text, size_t at, size_t count, int& value) {
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

int daysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

std::optional<Timestamp> parseMTPDate(std::string_view text) {
    // Only ASCII can parse, so counting bytes instead of characters changes no result.
    if (text.size() < 15) return std::nullopt;
    int year, month, day, hour, minute, second;
    if (!digits(text, 0, 4, year) || !digits(text, 4, 2, month) || !digits(text, 6, 2, day) ||
        text[8] != 'T' || !digits(text, 9, 2, hour) || !digits(text, 11, 2, minute) ||
        !digits(text, 13, 2, second)) {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59) {
        return std::nullopt;
    }
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;  // let the zone rules decide summer time
    // Four-digit years cannot overflow a 64-bit time_t, but they can overflow the clock's
    // nanoseconds (about 1678 to 2262): such a date is as absent as one that does not parse.
    std::time_t time = std::mktime(&fields);
    constexpr auto limit =
        std::chrono::duration_cast<std::chrono::seconds>(Timestamp::duration::max()).count() - 1;
    if (time > limit || time < -limit) return std::nullopt;
    return std::chrono::system_clock::from_time_t(time);
}

}  // namespace mtp
