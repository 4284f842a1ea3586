#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "CSTime.h"

namespace {

// Runs a test in a fixed time zone with daylight saving (central European rules, given as a POSIX
// rule so no zone database is needed) and restores the previous zone afterwards.
class CSTimeZoneTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = getenv("TZ");
        iHadTZ = old != nullptr;
        if (old) iOldTZ = old;
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
    }
    void TearDown() override {
        if (iHadTZ)
            setenv("TZ", iOldTZ.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool iHadTZ = false;
    std::string iOldTZ;
};

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

TEST_F(CSTimeZoneTest, MyTimegmIsTheInverseOfGmtimeWhateverTheLocalZone) {
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

TEST_F(CSTimeZoneTest, UTCFieldsAndSecondsRoundTrip) {
    CSTime time;
    EXPECT_TRUE(time.isNull());
    time.setUTC1970(1292265438, 123456789);
    EXPECT_FALSE(time.isNull());

    int32 y, mo, d, h, mi, s, ns;
    time.getUTC(y, mo, d, h, mi, s, ns);
    EXPECT_EQ((std::vector<int32>{y, mo, d, h, mi, s, ns}),
              (std::vector<int32>{2010, 12, 13, 18, 37, 18, 123456789}));

    time_t sec = 0;
    int32 nsec = 0;
    time.getUTC1970(sec, nsec);
    EXPECT_EQ(sec, 1292265438);
    EXPECT_EQ(nsec, 123456789);

    time.setNull();
    EXPECT_TRUE(time.isNull());
    time.setUTC(2000, 2, 29, 12, 0, 0, 5);
    EXPECT_FALSE(time.isNull());
    time.getUTC1970(sec, nsec);
    EXPECT_EQ(sec, 951782400 + 12 * 3600);
}

TEST_F(CSTimeZoneTest, LocalTimeFollowsDaylightSaving) {
    struct Case {
        int month;
        int utcHour;
    };
    // Noon local time is 11:00 UTC in winter and 10:00 UTC in summer.
    for (const Case& c : {Case{1, 11}, Case{7, 10}}) {
        CSTime time(2010, c.month, 1, 12, 0, 0, 0);
        int32 y, mo, d, h, mi, s, ns;
        time.getUTC(y, mo, d, h, mi, s, ns);
        EXPECT_EQ(h, c.utcHour) << "month " << c.month;
        time.getLocal(y, mo, d, h, mi, s, ns);
        EXPECT_EQ(h, 12);
        EXPECT_EQ(mo, c.month);
    }

    CSTime time;
    time.setUTC(2010, 7, 1, 22, 30, 5, 0);
    EXPECT_STREQ(time.getCString(), "2010-07-02 00:30:05");
    EXPECT_STREQ(time.getCString("%y%m%d %H:%M:%S"), "100702 00:30:05");
}

TEST(CSTimeTest, NullTimePrintsNULL) {
    CSTime time;
    EXPECT_STREQ(time.getCString(), "NULL");
    time.setUTC1970(0, 0);
    time.setNull();
    EXPECT_STREQ(time.getCString("%Y"), "NULL");
}

TEST(CSTimeTest, OverlongFormatGivesAnEmptyText) {
    CSTime time;
    time.setUTC1970(0, 0);
    std::string format(120, 'x');
    EXPECT_STREQ(time.getCString(format.c_str()), "");
}

TEST(CSTimeTest, OlderThenComparesWithTheCurrentTime) {
    CSTime time;
    time.setUTC1970(::time(nullptr) - 100, 0);
    EXPECT_TRUE(time.olderThen(50));
    EXPECT_FALSE(time.olderThen(200));

    int64 ticks = CSTime::getTimeCurrentTicks();
    int64 now = static_cast<int64>(::time(nullptr)) * 1000000;
    EXPECT_LT(std::llabs(ticks - now), 2000000);
}
