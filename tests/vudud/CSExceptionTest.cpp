#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <string>

#include "CSException.h"
#include "CSThread.h"

TEST(CSExceptionTest, CoreErrorsUseTheTableTextWithTheItemInserted) {
    struct Case {
        int code;
        const char* item;
        const char* message;
    } cases[] = {
        {CS_ERR_NOT_IMPLEMENTED, "getKey", "Function getKey not implemented"},
        {CS_ERR_UNKNOWN_METHOD, "PATCH", "Unknown HTTP method: PATCH"},
        {CS_ERR_UNKNOWN_HOST, "nowhere", "Unknown host: nowhere"},
        {CS_ERR_JUMP_OVERFLOW, nullptr, "Jump stack overflow"},
        {CS_ERR_RELEASE_OVERFLOW, nullptr, "Release stack overflow"},
        {CS_ERR_GENERIC_ERROR, nullptr, "Unknown system error -14008"},
        {-99, nullptr, "Unknown system error -99"},
    };
    for (const auto& c : cases) {
        try {
            CSException::throwCoreError(CS_CONTEXT, c.code, c.item);
            FAIL() << "no exception";
        } catch (const CSException& e) {
            EXPECT_EQ(c.code, e.getErrorCode());
            EXPECT_STREQ(c.message, e.getMessage());
        }
    }
}

TEST(CSExceptionTest, ContextNamesFunctionFileAndLine) {
    CSException e("virtual void CSFile::close()", "src/vudud/CSFile", 12, -1, "x");
    EXPECT_STREQ("virtual void CSFile::close(CSFile:12)", e.getContext());
}

TEST(CSExceptionTest, FileErrorCarriesErrnoTextAndPath) {
    try {
        CSException::throwFileError(CS_CONTEXT, ENOENT, "/no/such");
    } catch (const CSException& e) {
        EXPECT_EQ(ENOENT, e.getErrorCode());
        EXPECT_STREQ("No such file or directory (2): '/no/such'", e.getMessage());
        return;
    }
    FAIL();
}

TEST(CSExceptionTest, MessagesAreCutAt1323Characters) {
    std::string longText(5000, 'x');
    CSException e(CS_CONTEXT, 1, longText.c_str());
    EXPECT_EQ(1323u, std::string(e.getMessage()).size());
}

TEST(CSExceptionTest, PendingSignalReplacesAnIOErrorOfItsThread) {
    CSThread thread("Worker");
    CSThread::setSelf(&thread);
    thread.setSignalPending(SIGTERM);
    try {
        CSException::throwOSError(CS_CONTEXT, EINTR);
        FAIL();
    } catch (const CSException& e) {
        EXPECT_EQ(SIGTERM, e.getErrorCode());
        EXPECT_STREQ("Terminated (15)", e.getMessage());
    }
    EXPECT_EQ(0, thread.getSignalPending());
    CSThread::setSelf(nullptr);
}

TEST(CSExceptionTest, SignalAndAssertionMessages) {
    CSException e;
    e.initSignal(CS_CONTEXT, 999);
    EXPECT_STREQ("Unknown signal 999", e.getMessage());
    e.initAssertion(CS_CONTEXT, "x > 0");
    EXPECT_EQ(CS_ERR_ASSERTION, e.getErrorCode());
    EXPECT_STREQ("Assertion failed: x > 0", e.getMessage());
    e.initEOFError(CS_CONTEXT, "/a/b");
    EXPECT_STREQ("EOF encountered: '/a/b'", e.getMessage());
}

namespace {

int nest(int levels) {
    CS_FRAME();
    if (levels == 1) CSException::throwException(CS_CONTEXT, 7, "bottom");
    return levels > 1 ? nest(levels - 1) + 1 : 0;
}

}  // namespace

TEST(CSExceptionTest, DeepCallsRecordAHundredFramesAndUnwindingRestoresTheDepth) {
    for (int levels : {3, 150}) {
        try {
            nest(levels);
            FAIL();
        } catch (const CSException& e) {
            const std::string& trace = e.getStackTrace();
            size_t lines = 0;
            for (char ch : trace) lines += ch == '\n';
            EXPECT_EQ(static_cast<size_t>(std::min(levels, 100)), lines) << levels;
            EXPECT_EQ(0u, trace.find("int {anonymous}::nest(CSExceptionTest.cpp:")) << trace.substr(0, 200);
        }
        EXPECT_EQ(0, CSFrame::depth());
    }
}

TEST(CSExceptionTest, OSErrorWithoutPendingSignalKeepsErrnoAndText) {
    CSThread thread("Worker");
    CSThread::setSelf(&thread);
    thread.setSignalPending(SIGTERM);
    thread.setNoThrow(true);  // a finished daemon no longer turns errors into its signal
    try {
        CSException::throwOSError(CS_CONTEXT, EACCES);
        FAIL();
    } catch (const CSException& e) {
        EXPECT_EQ(EACCES, e.getErrorCode());
        EXPECT_STREQ("Permission denied (13)", e.getMessage());
    }
    CSThread::setSelf(nullptr);
    CSException e;
    e.initOSError(CS_CONTEXT, 99999);
    EXPECT_STREQ("Unknown OS error code 99999", e.getMessage());
}
