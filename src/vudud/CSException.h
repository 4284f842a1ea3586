// CSException: the one way the foundation library and the server fail. Carries a numeric code,
// the context where the error arose ("func(file:line)") and a message of at most 1323 characters,
// plus a stack trace text built when it is thrown. Throw helpers take the context triple first:
//   CSException::throwFileError(CS_CONTEXT, errno, path);
// errno becomes an exception only in throwOSError/throwFileError/throwLastError.
#pragma once

#include <exception>
#include <string>

#include "CSDefs.h"

class CSThread;

// Core error codes of the library.
enum : int {
    CS_ERR_ASSERTION = -14000,
    CS_ERR_EOF = -14001,
    CS_ERR_JUMP_OVERFLOW = -14002,
    CS_ERR_BAD_ADDRESS = -14003,
    CS_ERR_UNKNOWN_SERVICE = -14004,
    CS_ERR_UNKNOWN_HOST = -14005,
    CS_ERR_UNKNOWN_METHOD = -14006,
    CS_ERR_PORT_CLOSED = -14007,
    CS_ERR_GENERIC_ERROR = -14008,
    CS_ERR_RELEASE_OVERFLOW = -14009,
    CS_ERR_NOT_IMPLEMENTED = -14010,
    CS_ERR_BAD_FILE_TYPE = -14011,
    CS_ERR_VERSION_TOO_NEW = -14012,
};

class CSException : public std::exception {
public:
    static constexpr size_t kMaxMessage = 1323;
    static constexpr size_t kMaxContext = 299;

    CSException() = default;
    CSException(const char* func, const char* file, int line, int code, const char* message);

    // When set, logged exceptions are followed by their stack trace (the server's verbose option).
    // The trace has one line per call frame, innermost first: the frames recorded with CS_FRAME,
    // or, when the thread recorded none, the frames the system reports.
    static bool dumpStack;

    int getErrorCode() const { return iCode; }
    const char* getContext() const { return iContext; }
    const char* getMessage() const { return iMessage; }
    const char* what() const noexcept override { return iMessage; }
    const std::string& getStackTrace() const { return iStackTrace; }

    // Builders: fill this exception in place (used by the throw helpers and by logOSError).
    void initException(const char* func, const char* file, int line, int code, const char* message);
    void initExceptionf(const char* func, const char* file, int line, int code, const char* fmt, ...)
        __attribute__((format(printf, 6, 7)));
    void initCoreError(const char* func, const char* file, int line, int code, const char* item = nullptr);
    void initOSError(const char* func, const char* file, int line, int err);
    void initFileError(const char* func, const char* file, int line, int err, const char* path);
    void initSignal(const char* func, const char* file, int line, int sig);
    void initEOFError(const char* func, const char* file, int line, const char* path);
    void initAssertion(const char* func, const char* file, int line, const char* text);

    // Logs the exception at level 1 under one hold of the log lock: context, message, and the
    // stack trace when dumpStack is set. The prefix form writes the prefix line first.
    void log(CSThread* self) const;
    void log(CSThread* self, const char* prefix) const;

    [[noreturn]] static void throwException(const char* func, const char* file, int line, int code,
                                            const char* message);
    [[noreturn]] static void throwExceptionf(const char* func, const char* file, int line, int code,
                                             const char* fmt, ...) __attribute__((format(printf, 5, 6)));
    [[noreturn]] static void throwCoreError(const char* func, const char* file, int line, int code,
                                            const char* item = nullptr);
    [[noreturn]] static void throwOSError(const char* func, const char* file, int line, int err);
    [[noreturn]] static void throwLastError(const char* func, const char* file, int line);
    [[noreturn]] static void throwFileError(const char* func, const char* file, int line, int err,
                                            const char* path);
    [[noreturn]] static void throwSignal(const char* func, const char* file, int line, int sig);
    [[noreturn]] static void throwEOFError(const char* func, const char* file, int line, const char* path);
    [[noreturn]] static void throwAssertion(const char* func, const char* file, int line, const char* text);

    // Builds an OS error and logs it without throwing (for a thread that cannot set itself up).
    static void logOSError(const char* func, const char* file, int line, int err);

    // The table text of a core error code ("Unknown system error <code>" outside the table).
    static std::string coreErrorMessage(int code, const char* item = nullptr);

private:
    void setContext(const char* func, const char* file, int line);
    void setMessage(const char* message);
    void buildStackTrace();

    int iCode = 0;
    char iContext[kMaxContext + 1] = {};
    char iMessage[kMaxMessage + 1] = {};
    std::string iStackTrace;
};

// Records the enclosing function as a call frame of the calling thread for the stack trace of an
// exception thrown while it is active. Up to 100 frames are recorded per thread; deeper frames are
// counted but not recorded (no error). Unwinding removes frames, so the depth is always right.
class CSFrame {
public:
    static constexpr int kMaxFrames = 100;

    CSFrame(const char* func, const char* file, int line);
    ~CSFrame();
    CSFrame(const CSFrame&) = delete;
    CSFrame& operator=(const CSFrame&) = delete;

    // Frames active in the calling thread (recorded or not).
    static int depth();
};

#define CS_FRAME() CSFrame csFrame_(CS_CONTEXT)

#define CS_ASSERT(cond)                                              \
    do {                                                             \
        if (!(cond)) CSException::throwAssertion(CS_CONTEXT, #cond); \
    } while (0)
