// CSLog: every line the server writes, in one format:
//   "%y%m%d %H:%M:%S" + level tag + thread name ": " + context " " + text
// Levels above the maximum (2) are not written. The log is guarded by a lock that is recursive per
// thread; a caller that writes several pieces that must stay together holds CSLogLock around them.
// A line left open by one thread (text without a newline) is continued only by that thread: another
// thread's text first ends it, so the lines of different threads never mix.
// Texts may carry bytes from requests: every byte below 0x20 but the newline that ends a line, and
// 0x7F, is written as "\xNN" (upper-case hex), so no text can drive a terminal or split a line
// other than with a newline of its own; other bytes are written as they are.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "CSDefs.h"

class CSThread;
class CSString;

class CSLog {
public:
    enum Level { Protocol = 0, Error = 1, Warning = 2, Trace = 3 };

    CSLog(FILE* stream, int maxLevel) : iStream(stream), iMaxLevel(maxLevel) {}

    void lock() { iLock.lock(); }
    void unlock() { iLock.unlock(); }

    void log(CSThread* self, const char* func, const char* file, int line, int level, const char* text);
    void log(CSThread* self, int level, const char* text);
    // The text on the current line: its newlines are escaped as well (an exception's message).
    void logInLine(CSThread* self, int level, const char* text);
    void log(CSThread* self, int level, const std::string& text) { log(self, level, text.c_str()); }
    void log(CSThread* self, int level, CSString* text);
    void log(CSThread* self, int level, int value);
    void logf(CSThread* self, int level, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
    void logf(CSThread* self, int level, const char* func, const char* file, int line, const char* fmt, ...)
        __attribute__((format(printf, 7, 8)));
    void eol(CSThread* self, int level);
    // The text and a newline under one hold of the lock: never interleaved with other threads.
    void logLine(CSThread* self, int level, const char* text);

    // Current local time as "%y%m%d %H:%M:%S"; "-- TIME? --" when the clock cannot be read.
    const char* getNow(char* buffer, size_t size);

    // The text as the log writes it: bytes below 0x20 other than newline, and 0x7F, as "\xNN".
    static std::string escape(std::string_view text);

    // Where the log goes (standard output by default); tests point it at a file of their own.
    void setStream(FILE* stream);
    FILE* getStream() const { return iStream; }
    int getMaxLevel() const { return iMaxLevel; }
    void setMaxLevel(int level) { iMaxLevel = level; }

private:
    void writeHeader(CSThread* self, const char* func, const char* file, int line, int level);
    void write(CSThread* self, const char* func, const char* file, int line, int level, const char* text,
               bool inLine);
    void writeEscaped(std::string_view text);
    void vlogf(CSThread* self, int level, const char* func, const char* file, int line, const char* fmt,
               va_list ap);

    std::recursive_mutex iLock;
    FILE* iStream;  // guarded by iLock
    int iMaxLevel;
    bool iStartOfLine = true;    // guarded by iLock
    std::thread::id iLineOwner;  // guarded by iLock: the thread whose line is open
};

// The server's one log: standard output, maximum level 2.
extern CSLog CSL;

// Holds the log lock for a scope (recursive per thread).
class CSLogLock {
public:
    explicit CSLogLock(CSLog& log) : iLog(log) { iLog.lock(); }
    ~CSLogLock() { iLog.unlock(); }
    CSLogLock(const CSLogLock&) = delete;
    CSLogLock& operator=(const CSLogLock&) = delete;

private:
    CSLog& iLog;
};
