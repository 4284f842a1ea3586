#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <functional>
#include <string>

#include "CSException.h"
#include "CSThread.h"
#include "TestSupport.h"

TEST(CSExceptionTest, EachKindOfErrorCarriesItsCodeAndMessage) {
    struct Case {
        std::function<void()> raise;
        int code;
        std::string message;
    } cases[] = {
        {[] { CSException::throwCoreError(CS_CONTEXT, -99, nullptr); }, -99, "Unknown system error -99"},
        {[] { CSException::throwFileError(CS_CONTEXT, ENOENT, "/no/such"); }, ENOENT,
         "No such file or directory (2): '/no/such'"},
        {[] { CSException::throwOSError(CS_CONTEXT, EACCES); }, EACCES, "Permission denied (13)"},
        {[] { throw CSException(CS_CONTEXT, 1, std::string(5000, 'x').c_str()); }, 1, std::string(1323, 'x')},
    };
    for (const auto& c : cases) {
        auto failure = hvps_test::caught(c.raise);
        EXPECT_EQ(c.code, failure.code) << c.message;
        EXPECT_EQ(c.message, failure.message);
    }
}

TEST(CSExceptionTest, PendingSignalReplacesAnIOErrorOfItsThreadUnlessTheThreadNoLongerThrows) {
    CSThread thread("Worker");
    CSThread::setSelf(&thread);
    thread.setSignalPending(SIGTERM);
    auto failure = hvps_test::caught([] { CSException::throwOSError(CS_CONTEXT, EINTR); });
    EXPECT_EQ(SIGTERM, failure.code);
    EXPECT_EQ("Terminated (15)", failure.message);
    EXPECT_EQ(0, thread.getSignalPending());
    thread.setSignalPending(SIGTERM);
    thread.setNoThrow(true);  // a finished daemon no longer turns errors into its signal
    EXPECT_EQ(EACCES, hvps_test::caught([] { CSException::throwOSError(CS_CONTEXT, EACCES); }).code);
    CSThread::setSelf(nullptr);
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
