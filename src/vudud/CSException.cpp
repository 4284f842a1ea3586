#include "CSException.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "CSLog.h"
#include "CSStrUtil.h"
#include "CSThread.h"

bool CSException::dumpStack = false;

namespace {

constexpr int kMaxTraceFrames = 100;

const char* coreErrorText(int code) {
    switch (code) {
        case CS_ERR_VERSION_TOO_NEW:
            return "Incompatible file version";
        case CS_ERR_BAD_FILE_TYPE:
            return "Incorrect file type";
        case CS_ERR_NOT_IMPLEMENTED:
            return "Function %s not implemented";
        case CS_ERR_RELEASE_OVERFLOW:
            return "Release stack overflow";
        case CS_ERR_PORT_CLOSED:
            return "Listening port has been closed";
        case CS_ERR_UNKNOWN_METHOD:
            return "Unknown HTTP method: %";
        case CS_ERR_UNKNOWN_HOST:
            return "Unknown host: %";
        case CS_ERR_UNKNOWN_SERVICE:
            return "Unknown network service: %";
        case CS_ERR_BAD_ADDRESS:
            return "Incorrect network address: %";
        case CS_ERR_JUMP_OVERFLOW:
            return "Jump stack overflow";
        default:
            return nullptr;
    }
}

// A thread that is asked to stop turns I/O failures into its pending signal, so that an
// interrupted blocking call unwinds the thread instead of reporting a spurious I/O error.
int takePendingSignal() {
    CSThread* self = CSThread::getSelf();
    return self ? self->takePendingSignal() : 0;
}

}  // namespace

CSException::CSException(const char* func, const char* file, int line, int code, const char* message) {
    initException(func, file, line, code, message);
}

void CSException::setContext(const char* func, const char* file, int line) {
    if (!func && !file) {
        iContext[0] = 0;
        return;
    }
    cs_format_context(sizeof(iContext), iContext, func, file, line);
}

void CSException::setMessage(const char* message) {
    cs_strcpy(sizeof(iMessage), iMessage, message ? message : "");
}

namespace {

struct FrameRecord {
    const char* func;
    const char* file;
    int line;
};

thread_local FrameRecord tFrames[CSFrame::kMaxFrames];
thread_local int tFrameDepth = 0;

}  // namespace

CSFrame::CSFrame(const char* func, const char* file, int line) {
    if (tFrameDepth < kMaxFrames) tFrames[tFrameDepth] = {func, file, line};
    tFrameDepth++;
}

CSFrame::~CSFrame() { tFrameDepth--; }

int CSFrame::depth() { return tFrameDepth; }

void CSException::buildStackTrace() {
    iStackTrace.clear();
    char context[kMaxContext + 1];
    int recorded = std::min(tFrameDepth, static_cast<int>(CSFrame::kMaxFrames));
    if (recorded > 0) {
        for (int i = recorded - 1; i >= 0; i--) {
            cs_format_context(sizeof(context), context, tFrames[i].func, tFrames[i].file, tFrames[i].line);
            iStackTrace += context;
            iStackTrace += '\n';
        }
        return;
    }
    void* frames[kMaxTraceFrames + 8];
    int count = ::backtrace(frames, kMaxTraceFrames + 8);
    std::unique_ptr<char*, decltype(&std::free)> symbols(::backtrace_symbols(frames, count), &std::free);
    if (!symbols) return;
    int written = 0;
    bool inside = true;  // still in the exception's own functions, which are not part of the trace
    for (int i = 1; i < count && written < kMaxTraceFrames; i++) {
        std::string text = symbols.get()[i];
        auto open = text.find('(');
        auto plus = text.find('+', open == std::string::npos ? 0 : open);
        std::string name;
        if (open != std::string::npos && plus != std::string::npos && plus > open + 1) {
            name = text.substr(open + 1, plus - open - 1);
            int status = 0;
            std::unique_ptr<char, decltype(&std::free)> demangled(
                abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
            if (status == 0 && demangled) name = demangled.get();
        }
        if (inside && name.starts_with("CSException::")) continue;
        inside = false;
        cs_format_context(sizeof(context), context, name.empty() ? text.c_str() : name.c_str(), nullptr, 0);
        iStackTrace += context;
        iStackTrace += '\n';
        written++;
    }
}

void CSException::initException(const char* func, const char* file, int line, int code, const char* message) {
    iCode = code;
    setContext(func, file, line);
    setMessage(message);
    buildStackTrace();
}

void CSException::initExceptionf(const char* func, const char* file, int line, int code, const char* fmt,
                                 ...) {
    char buffer[kMaxMessage + 1];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buffer, sizeof(buffer), fmt, ap);
    va_end(ap);
    initException(func, file, line, code, buffer);
}

std::string CSException::coreErrorMessage(int code, const char* item) {
    const char* text = coreErrorText(code);
    if (!text) return "Unknown system error " + std::to_string(code);
    std::string message = text;
    if (item) {
        if (auto pos = message.find("%s"); pos != std::string::npos)
            message.replace(pos, 2, item);
        else if (!message.empty() && message.back() == '%')
            message.replace(message.size() - 1, 1, item);
    }
    return message;
}

void CSException::initCoreError(const char* func, const char* file, int line, int code, const char* item) {
    initException(func, file, line, code, coreErrorMessage(code, item).c_str());
}

void CSException::initOSError(const char* func, const char* file, int line, int err) {
    char buffer[kMaxMessage + 1];
    const char* text = err > 0 && err < 4096 ? strerrordesc_np(err) : nullptr;
    if (text)
        snprintf(buffer, sizeof(buffer), "%s (%d)", text, err);
    else
        snprintf(buffer, sizeof(buffer), "Unknown OS error code %d", err);
    initException(func, file, line, err, buffer);
}

void CSException::initFileError(const char* func, const char* file, int line, int err, const char* path) {
    initOSError(func, file, line, err);
    std::string message = iMessage;
    message += ": '";
    message += path ? path : "";
    message += "'";
    setMessage(message.c_str());
}

void CSException::initSignal(const char* func, const char* file, int line, int sig) {
    char buffer[kMaxMessage + 1];
    const char* text = sig > 0 && sig < NSIG ? sigdescr_np(sig) : nullptr;
    if (text)
        snprintf(buffer, sizeof(buffer), "%s (%d)", text, sig);
    else
        snprintf(buffer, sizeof(buffer), "Unknown signal %d", sig);
    initException(func, file, line, sig, buffer);
}

void CSException::initEOFError(const char* func, const char* file, int line, const char* path) {
    std::string message = "EOF encountered: '";
    message += path ? path : "";
    message += "'";
    initException(func, file, line, CS_ERR_EOF, message.c_str());
}

void CSException::initAssertion(const char* func, const char* file, int line, const char* text) {
    std::string message = "Assertion failed: ";
    message += text ? text : "";
    initException(func, file, line, CS_ERR_ASSERTION, message.c_str());
}

void CSException::throwException(const char* func, const char* file, int line, int code,
                                 const char* message) {
    throw CSException(func, file, line, code, message);
}

void CSException::throwExceptionf(const char* func, const char* file, int line, int code, const char* fmt,
                                  ...) {
    char buffer[kMaxMessage + 1];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buffer, sizeof(buffer), fmt, ap);
    va_end(ap);
    throw CSException(func, file, line, code, buffer);
}

void CSException::throwCoreError(const char* func, const char* file, int line, int code, const char* item) {
    CSException e;
    e.initCoreError(func, file, line, code, item);
    throw e;
}

void CSException::throwOSError(const char* func, const char* file, int line, int err) {
    if (int sig = takePendingSignal()) throwSignal(func, file, line, sig);
    CSException e;
    e.initOSError(func, file, line, err);
    throw e;
}

void CSException::throwLastError(const char* func, const char* file, int line) {
    throwOSError(func, file, line, errno);
}

void CSException::throwFileError(const char* func, const char* file, int line, int err, const char* path) {
    if (int sig = takePendingSignal()) throwSignal(func, file, line, sig);
    CSException e;
    e.initFileError(func, file, line, err, path);
    throw e;
}

void CSException::throwSignal(const char* func, const char* file, int line, int sig) {
    CSException e;
    e.initSignal(func, file, line, sig);
    throw e;
}

void CSException::throwEOFError(const char* func, const char* file, int line, const char* path) {
    if (int sig = takePendingSignal()) throwSignal(func, file, line, sig);
    CSException e;
    e.initEOFError(func, file, line, path);
    throw e;
}

void CSException::throwAssertion(const char* func, const char* file, int line, const char* text) {
    CSException e;
    e.initAssertion(func, file, line, text);
    throw e;
}

void CSException::logOSError(const char* func, const char* file, int line, int err) {
    CSException e;
    e.initOSError(func, file, line, err);
    e.log(CSThread::getSelf());
}

void CSException::log(CSThread* self) const { log(self, nullptr); }

void CSException::log(CSThread* self, const char* prefix) const {
    CSLogLock hold(CSL);
    if (prefix) {
        CSL.log(self, CSLog::Error, prefix);
        CSL.eol(self, CSLog::Error);
    }
    // Context and message are one line, whatever bytes a request put into the message.
    CSL.logInLine(self, CSLog::Error, iContext);
    CSL.logInLine(self, CSLog::Error, " ");
    CSL.logInLine(self, CSLog::Error, iMessage);
    CSL.eol(self, CSLog::Error);
    if (dumpStack && !iStackTrace.empty()) CSL.log(self, CSLog::Error, iStackTrace.c_str());
}
