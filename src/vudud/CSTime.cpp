#include "CSTime.h"

#include <sys/time.h>

#include "CSStrUtil.h"

namespace {

// Days from 1970-01-01 to the given proleptic Gregorian date (month 1 to 12).
int64 daysFromCivil(int64 year, int64 month, int64 day) {
    year -= month <= 2;
    const int64 era = (year >= 0 ? year : year - 399) / 400;
    const int64 yoe = year - era * 400;
    const int64 doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int64 floorDiv(int64 a, int64 b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

time_t my_timegm(const struct tm* tm) {
    // Pure arithmetic: no call to mktime, so neither the time zone nor daylight saving rules (and
    // their gaps and folds) can shift the result.
    int64 month = tm->tm_mon;
    int64 year = static_cast<int64>(tm->tm_year) + 1900 + floorDiv(month, 12);
    month -= floorDiv(month, 12) * 12;
    int64 days = daysFromCivil(year, month + 1, 1) + tm->tm_mday - 1;
    return static_cast<time_t>(days * 86400 + static_cast<int64>(tm->tm_hour) * 3600 +
                               static_cast<int64>(tm->tm_min) * 60 + tm->tm_sec);
}

CSTime::CSTime(int32 year, int32 month, int32 day, int32 hour, int32 min, int32 sec, int32 nsec) {
    setLocal(year, month, day, hour, min, sec, nsec);
}

void CSTime::setUTC(int32 year, int32 month, int32 day, int32 hour, int32 min, int32 sec, int32 nsec) {
    iYear = year;
    iMonth = month;
    iDay = day;
    iHour = hour;
    iMinute = min;
    iSecond = sec;
    iNanoSecond = nsec;
    iIsNull = false;
}

void CSTime::getUTC(int32& year, int32& month, int32& day, int32& hour, int32& min, int32& sec,
                    int32& nsec) const {
    year = iYear;
    month = iMonth;
    day = iDay;
    hour = iHour;
    min = iMinute;
    sec = iSecond;
    nsec = iNanoSecond;
}

void CSTime::setUTC1970(time_t sec, int32 nsec) {
    struct tm tm = {};
    gmtime_r(&sec, &tm);
    setUTC(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, nsec);
}

void CSTime::getUTC1970(time_t& sec, int32& nsec) const {
    sec = utcSeconds();
    nsec = iNanoSecond;
}

time_t CSTime::utcSeconds() const {
    struct tm tm = {};
    tm.tm_year = iYear - 1900;
    tm.tm_mon = iMonth - 1;
    tm.tm_mday = iDay;
    tm.tm_hour = iHour;
    tm.tm_min = iMinute;
    tm.tm_sec = iSecond;
    return my_timegm(&tm);
}

void CSTime::setLocal(int32 year, int32 month, int32 day, int32 hour, int32 min, int32 sec, int32 nsec) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    tm.tm_isdst = -1;  // let the time zone rules decide whether daylight saving applies
    setUTC1970(mktime(&tm), nsec);
}

void CSTime::getLocal(int32& year, int32& month, int32& day, int32& hour, int32& min, int32& sec,
                      int32& nsec) const {
    time_t t = utcSeconds();
    struct tm tm = {};
    localtime_r(&t, &tm);
    year = tm.tm_year + 1900;
    month = tm.tm_mon + 1;
    day = tm.tm_mday;
    hour = tm.tm_hour;
    min = tm.tm_min;
    sec = tm.tm_sec;
    nsec = iNanoSecond;
}

const char* CSTime::getCString(const char* format) {
    if (iIsNull) {
        cs_strcpy(sizeof(iCString), iCString, "NULL");
        return iCString;
    }
    time_t t = utcSeconds();
    struct tm tm = {};
    localtime_r(&t, &tm);
    // strftime leaves the buffer undefined when the text does not fit; an empty text is clearer.
    if (strftime(iCString, sizeof(iCString), format, &tm) == 0) iCString[0] = 0;
    return iCString;
}

bool CSTime::olderThen(int64 seconds) const {
    return static_cast<int64>(time(nullptr)) - static_cast<int64>(utcSeconds()) > seconds;
}

int64 CSTime::getTimeCurrentTicks() {
    struct timeval tv = {};
    gettimeofday(&tv, nullptr);
    return static_cast<int64>(tv.tv_sec) * 1000000 + tv.tv_usec;
}
