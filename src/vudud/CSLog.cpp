#include "CSLog.h"

#include <sys/time.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <vector>

#include "CSStrUtil.h"
#include "CSString.h"
#include "CSThread.h"

CSLog CSL(stdout, CSLog::Warning);

namespace {

// Bytes that the log writes as "\xNN": controls (a newline only where it does not end a line).
bool mustEscape(unsigned char ch) { return ch < 0x20 || ch == 0x7F; }

// The four bytes "\xNN" of `ch`.
void hexEscape(unsigned char ch, char* out) {
    static const char kHex[] = "0123456789ABCDEF";
    out[0] = '\\';
    out[1] = 'x';
    out[2] = kHex[ch >> 4];
    out[3] = kHex[ch & 0x0F];
}

const char* levelTag(int level) {
    switch (level) {
        case CSLog::Error:
            return " [Error] ";
        case CSLog::Warning:
            return " [Warning] ";
        case CSLog::Trace:
            return " [Trace] ";
        default:
            return " [Note] ";
    }
}

}  // namespace

const char* CSLog::getNow(char* buffer, size_t size) {
    time_t now = time(nullptr);
    struct tm local;
    if (now == static_cast<time_t>(-1) || !localtime_r(&now, &local)) {
        fprintf(iStream, "*** ERROR (%d): While getting time\n", errno);
        cs_strcpy(size, buffer, "-- TIME? --");
        return buffer;
    }
    if (strftime(buffer, size, "%y%m%d %H:%M:%S", &local) == 0 && size) buffer[0] = 0;
    return buffer;
}

void CSLog::setStream(FILE* stream) {
    std::lock_guard hold(iLock);
    iStream = stream;
    iStartOfLine = true;
}

void CSLog::writeHeader(CSThread* self, const char* func, const char* file, int line, int level) {
    char now[300];
    fputs(getNow(now, sizeof(now)), iStream);
    fputs(levelTag(level), iStream);
    if (self) {
        const char* name = self->getThreadName();
        if (name && *name) {
            fputs(name, iStream);
            fputs(": ", iStream);
        }
    }
    if (func || file) {
        char context[300];
        cs_format_context(sizeof(context), context, func, file, line);
        fputs(context, iStream);
        fputc(' ', iStream);
    }
}

std::string CSLog::escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto ch = static_cast<unsigned char>(c);
        if (ch != '\n' && mustEscape(ch)) {
            char escaped[4];
            hexEscape(ch, escaped);
            out.append(escaped, sizeof(escaped));
        } else {
            out += c;
        }
    }
    return out;
}

// Writes runs of plain bytes as they are and every byte below 0x20 or 0x7F escaped.
// Caller holds iLock.
void CSLog::writeEscaped(std::string_view text) {
    size_t start = 0;
    for (size_t i = 0; i < text.size(); i++) {
        const auto ch = static_cast<unsigned char>(text[i]);
        if (!mustEscape(ch)) continue;
        char escaped[4];
        hexEscape(ch, escaped);
        fwrite(text.data() + start, 1, i - start, iStream);
        fwrite(escaped, 1, sizeof(escaped), iStream);
        start = i + 1;
    }
    fwrite(text.data() + start, 1, text.size() - start, iStream);
}

void CSLog::write(CSThread* self, const char* func, const char* file, int line, int level, const char* text,
                  bool inLine) {
    if (level > iMaxLevel || !text) return;
    std::lock_guard hold(iLock);
    auto me = std::this_thread::get_id();
    if (!iStartOfLine && iLineOwner != me && *text) {
        fputc('\n', iStream);
        fflush(iStream);
        iStartOfLine = true;
    }
    const char* piece = text;
    while (*piece) {
        if (iStartOfLine) {
            writeHeader(self, func, file, line, level);
            iStartOfLine = false;
            iLineOwner = me;
        }
        const char* end = inLine ? nullptr : strchr(piece, '\n');
        if (!end) {
            writeEscaped(piece);
            break;
        }
        writeEscaped(std::string_view(piece, static_cast<size_t>(end - piece)));
        fputc('\n', iStream);
        fflush(iStream);
        iStartOfLine = true;
        piece = end + 1;
    }
}

void CSLog::log(CSThread* self, const char* func, const char* file, int line, int level, const char* text) {
    write(self, func, file, line, level, text, false);
}

void CSLog::logInLine(CSThread* self, int level, const char* text) {
    write(self, nullptr, nullptr, 0, level, text, true);
}

void CSLog::log(CSThread* self, int level, const char* text) { log(self, nullptr, nullptr, 0, level, text); }

void CSLog::log(CSThread* self, int level, CSString* text) {
    if (text) log(self, level, text->getCString());
}

void CSLog::log(CSThread* self, int level, int value) { log(self, level, std::to_string(value).c_str()); }

void CSLog::vlogf(CSThread* self, int level, const char* func, const char* file, int line, const char* fmt,
                  va_list ap) {
    if (level > iMaxLevel) return;
    char buffer[2000];
    va_list copy;
    va_copy(copy, ap);
    int len = vsnprintf(buffer, sizeof(buffer), fmt, ap);
    if (len < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<size_t>(len) < sizeof(buffer)) {
        log(self, func, file, line, level, buffer);
    } else {
        std::vector<char> large(len + 1);
        vsnprintf(large.data(), large.size(), fmt, copy);
        log(self, func, file, line, level, large.data());
    }
    va_end(copy);
}

void CSLog::logf(CSThread* self, int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlogf(self, level, nullptr, nullptr, 0, fmt, ap);
    va_end(ap);
}

void CSLog::logf(CSThread* self, int level, const char* func, const char* file, int line, const char* fmt,
                 ...) {
    va_list ap;
    va_start(ap, fmt);
    vlogf(self, level, func, file, line, fmt, ap);
    va_end(ap);
}

void CSLog::eol(CSThread* self, int level) { log(self, level, "\n"); }

void CSLog::logLine(CSThread* self, int level, const char* text) {
    std::lock_guard hold(iLock);
    log(self, level, text);
    eol(self, level);
}
