#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "CSTime.h"

namespace {

struct tm fields(int year, int month, int day, int hour, int min, int sec) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    return tm;
}

}  // namespace

TEST(CSTimeTest, MyTimegmIsTheInverseOfGmtimeWhateverTheLocalZone) {
    // A zone with daylight saving (central European rules, given as a POSIX rule so no zone
    // database is needed). The suite is a process of its own: the zone need not be restored.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    struct Case {
        struct tm tm;
        time_t expected;
    };
    const Case cases[] = {
        {fields(1970, 1, 1, 0, 0, 0), 0},
        {fields(1969, 12, 31, 23, 59, 59), -1},
        {fields(2010, 12, 13, 18, 37, 18), 1292265438},
        {fields(2000, 2, 29, 0, 0, 0), 951782400},
        {fields(1900, 3, 1, 0, 0, 0), -2203891200LL},
        {fields(2010, 13, 1, 0, 0, 0), 1293840000},   // month 13 carries into the next year
        {fields(2010, 3, 28, 2, 30, 0), 1269743400},  // a local-time gap, meaningless in UTC
    };
    for (const Case& c : cases) EXPECT_EQ(my_timegm(&c.tm), c.expected) << asctime(&c.tm);

    // A bounded sweep across years, leap days and daylight-saving switches.
    for (time_t t = -400000000; t < 4200000000LL; t += 7777777) {
        struct tm tm = {};
        gmtime_r(&t, &tm);
        ASSERT_EQ(my_timegm(&tm), t);
    }
}
