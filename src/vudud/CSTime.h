// CSTime: a point in time held as broken-down UTC fields plus nanoseconds, or null. Conversions to
// and from local time go through the C library's time zone; conversions from UTC fields to
// seconds use my_timegm, which does not depend on the time zone at all. An object is used by one
// thread at a time (getCString formats into the object's own buffer).
#pragma once

#include <ctime>

#include "CSDefs.h"
#include "CSObject.h"

// Seconds since 1970-01-01 00:00 UTC of the UTC fields in tm (the inverse of gmtime). Fields out of
// their range are carried over as timegm does (month 13 is January of the next year, and so on).
time_t my_timegm(const struct tm* tm);

class CSTime : public CSObject {
public:
    // A null time.
    CSTime() = default;
    // The seven values are local time (month 1 to 12).
    CSTime(int32 year, int32 month, int32 day, int32 hour, int32 min, int32 sec, int32 nsec);

    bool isNull() const { return iIsNull; }
    void setNull() { iIsNull = true; }

    // Stores / reads the UTC fields as they are (month 1 to 12). Setting clears the null flag.
    void setUTC(int32 year, int32 month, int32 day, int32 hour, int32 min, int32 sec, int32 nsec);
    void getUTC(int32& year, int32& month, int32& day, int32& hour, int32& min, int32& sec,
                int32& nsec) const;

    // Seconds since 1970-01-01 00:00 UTC.
    void setUTC1970(time_t sec, int32 nsec);
    void getUTC1970(time_t& sec, int32& nsec) const;

    // The values are local time, converted with the time zone in force.
    void setLocal(int32 year, int32 month, int32 day, int32 hour, int32 min, int32 sec, int32 nsec);
    void getLocal(int32& year, int32& month, int32& day, int32& hour, int32& min, int32& sec,
                  int32& nsec) const;

    // The time in local time formatted with strftime (at most 99 bytes), "NULL" for a null time.
    // The text lives in this object until the next call.
    const char* getCString(const char* format);
    const char* getCString() { return getCString("%Y-%m-%d %H:%M:%S"); }

    // True when more than `seconds` seconds have passed since this time.
    bool olderThen(int64 seconds) const;

    // Microseconds since 1970 of the current time.
    static int64 getTimeCurrentTicks();

private:
    time_t utcSeconds() const;

    bool iIsNull = true;
    char iCString[100] = {};
    int32 iYear = 0;
    int32 iMonth = 0;
    int32 iDay = 0;
    int32 iHour = 0;
    int32 iMinute = 0;
    int32 iSecond = 0;
    int32 iNanoSecond = 0;
};
