// Times as ISO 8601 text, from a FILETIME (registry keys, NTFS) or a Unix time (a mounted volume).
#include "registry/time_text.h"

#include <cstdio>

namespace {

// Civil date from days since 1970-01-01 (proleptic Gregorian), valid for any day count that
// fits in 64 bits with room for the era arithmetic.
void civil_from_days(std::int64_t days, std::int64_t &year, unsigned &month, unsigned &day) {
    days += 719468;
    std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    auto day_of_era = static_cast<std::uint64_t>(days - era * 146097);
    std::uint64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    std::uint64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    std::uint64_t shifted_month = (5 * day_of_year + 2) / 153;
    day = static_cast<unsigned>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    month = static_cast<unsigned>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
}

std::string format_time(std::int64_t days, std::uint32_t second_of_day, std::uint32_t ticks) {
    // ISO 8601 writes years 0000 to 9999 alone; a time outside them (only a forged one) is
    // written as the nearest of the two ends, so every time has one fixed width.
    constexpr std::int64_t first_day = -719528, day_after_last = 2932897; // 0000-01-01, 10000-01-01
    if (days < first_day) {
        days = first_day;
        second_of_day = ticks = 0;
    } else if (days >= day_after_last) {
        days = day_after_last - 1;
        second_of_day = 86399;
        ticks = 9999999;
    }
    std::int64_t year;
    unsigned month, day;
    civil_from_days(days, year, month, day);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%07uZ",
                  static_cast<long long>(year), month, day, second_of_day / 3600,
                  second_of_day / 60 % 60, second_of_day % 60, ticks);
    return text;
}

} // namespace

std::string format_filetime(std::uint64_t filetime) {
    // 1601-01-01 is 134,774 days before 1970-01-01.
    std::uint64_t seconds = filetime / 10000000;
    auto ticks = static_cast<std::uint32_t>(filetime % 10000000);
    auto days = static_cast<std::int64_t>(seconds / 86400) - 134774;
    return format_time(days, static_cast<std::uint32_t>(seconds % 86400), ticks);
}

std::string format_unix_time(std::int64_t seconds, std::uint32_t nanoseconds) {
    std::int64_t days = seconds / 86400;
    std::int64_t second_of_day = seconds % 86400;
    if (second_of_day < 0) {
        second_of_day += 86400;
        days--;
    }
    // A nanosecond count of a second or more carries (at most four seconds in 32 bits).
    second_of_day += nanoseconds / 1000000000;
    days += second_of_day / 86400;
    second_of_day %= 86400;
    return format_time(days, static_cast<std::uint32_t>(second_of_day),
                       nanoseconds % 1000000000 / 100);
}
