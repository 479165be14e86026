// Times in the one textual form the signed manifest uses, converted without
// the C library's time functions: the updater and the release tool read an
// expiry the same way whatever the time zone or locale of the machine.
#include "utc_time.h"

#include <cstdio>

namespace {

const std::int64_t SecondsPerDay = 86400;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and
// back: whole eras of 400 years, then years within the era, March first.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day)
{
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shifted = (5 * dayOfYear + 2) / 153;
    day = static_cast<unsigned>(dayOfYear - (153 * shifted + 2) / 5 + 1);
    month = static_cast<unsigned>(shifted < 10 ? shifted + 3 : shifted - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

}  // namespace

std::string UtcTimeText(std::int64_t seconds)
{
    std::int64_t days = seconds / SecondsPerDay;
    std::int64_t inDay = seconds % SecondsPerDay;
    if (inDay < 0) {
        inDay += SecondsPerDay;
        --days;
    }
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    char text[48];
    std::snprintf(text, sizeof(text), "%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(year), month,
                  day, static_cast<unsigned>(inDay / 3600), static_cast<unsigned>(inDay / 60 % 60),
                  static_cast<unsigned>(inDay % 60));
    return text;
}

bool ParseUtcTime(std::string_view text, std::int64_t& seconds)
{
    // The fields are read where the one form puts them; a date that does not
    // exist (February 30th) is caught by writing the value back.
    const char form[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof(form) - 1)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (form[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != form[i])
            return false;
    }
    const auto field = [&](std::size_t at, std::size_t digits) {
        unsigned value = 0;
        for (std::size_t i = at; i < at + digits; ++i)
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
        return value;
    };
    const unsigned year = field(0, 4), month = field(5, 2), day = field(8, 2);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || field(11, 2) > 23 ||
        field(14, 2) > 59 || field(17, 2) > 59)
        return false;
    const std::int64_t value = DaysFromCivil(year, month, day) * SecondsPerDay + field(11, 2) * 3600 +
                               field(14, 2) * 60 + field(17, 2);
    if (UtcTimeText(value) != text)
        return false;
    seconds = value;
    return true;
}
