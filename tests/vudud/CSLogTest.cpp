#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CSException.h"
#include "CSLog.h"
#include "CSString.h"
#include "CSThread.h"
#include "TestSupport.h"

using hvps_test::CapturedLog;

namespace {

// "yymmdd hh:mm:ss" + tag: the header every line starts with.
const std::string kStamp = R"(\d{6} \d\d:\d\d:\d\d)";

void expectLine(const std::string& line, const std::string& rest) {
    EXPECT_TRUE(std::regex_match(line, std::regex(kStamp + rest)))
        << "line: [" << line << "] expected: " << rest;
}

void innerFrame() {
    CS_FRAME();
    CSException::throwException(CS_CONTEXT, 5, "deep");
}

void outerFrame() {
    CS_FRAME();
    innerFrame();
}

}  // namespace

// Each row writes to the log and lists the lines it must give, after their time stamp.
TEST(CSLogTest, EachWriteGivesItsLinesWithTheirHeaders) {
    struct Case {
        const char* what;
        std::function<void()> write;
        std::vector<std::string> lines;
    } cases[] = {
        {"every line of a multi-line text gets the full header",
         [] {
             CSThread thread("NetworkHandler3");
             CSL.log(&thread, CSLog::Error, "first\nsecond\n");
             CSL.log(&thread, "void Handler::serve(int)", "/src/hvps/Handler.cpp", 77, CSLog::Warning,
                     "a\nb\n");
         },
         {R"( \[Error\] NetworkHandler3: first)", R"( \[Error\] NetworkHandler3: second)",
          R"( \[Warning\] NetworkHandler3: void Handler::serve\(Handler.cpp:77\) a)",
          R"( \[Warning\] NetworkHandler3: void Handler::serve\(Handler.cpp:77\) b)"}},
        {"level tags and the maximum level",
         [] {
             CSThread unnamed;
             CSL.log(nullptr, CSLog::Protocol, "note\n");
             CSL.log(&unnamed, CSLog::Error, "error\n");  // an empty thread name adds nothing
             CSL.log(nullptr, CSLog::Warning, "warning\n");
             CSL.log(nullptr, CSLog::Trace, "trace is filtered\n");
             CSL.setMaxLevel(CSLog::Trace);
             CSL.log(nullptr, CSLog::Trace, "trace\n");
             CSL.setMaxLevel(9);
             CSL.log(nullptr, 7, "other\n");
         },
         {R"( \[Note\] note)", R"( \[Error\] error)", R"( \[Warning\] warning)", R"( \[Trace\] trace)",
          R"( \[Note\] other)"}},
        {"an open line is continued without a header",
         [] {
             CSL.log(nullptr, CSLog::Protocol, "Listening on port ");
             CSL.log(nullptr, CSLog::Protocol, 8080);
             CSL.log(nullptr, CSLog::Protocol, CSString::newString("; ready").get());
             CSL.eol(nullptr, CSLog::Protocol);
             CSL.logf(nullptr, CSLog::Error, "%s=%d", "code", -14001);
             CSL.eol(nullptr, CSLog::Error);
         },
         {R"( \[Note\] Listening on port 8080; ready)", R"( \[Error\] code=-14001)"}},
        {"long formatted texts are written whole",
         [] { CSL.logf(nullptr, CSLog::Error, "<%s>\n", std::string(5000, 'x').c_str()); },
         {R"( \[Error\] <x{5000}>)"}},
        {"another thread ends an open line instead of joining it",
         [] {
             CSL.log(nullptr, CSLog::Protocol, "main begins");
             std::thread([] { CSL.logLine(nullptr, CSLog::Error, "other thread"); }).join();
             CSL.log(nullptr, CSLog::Protocol, " and ends\n");
         },
         {R"( \[Note\] main begins)", R"( \[Error\] other thread)", R"( \[Note\]  and ends)"}},
        {"control bytes are escaped and only line-ending newlines kept",
         [] {
             CSL.log(nullptr, CSLog::Error, "a\x1B[2J\x07\t\r\x7F\xC3\xA9 b\nc\n");
             CSException(nullptr, nullptr, 0, 1, "forged\n000101 00:00:00 [Note] line").log(nullptr);
         },
         {R"( \[Error\] a\\x1B\[2J\\x07\\x09\\x0D\\x7F)"
          "\xC3\xA9 b",
          R"( \[Error\] c)", R"( \[Error\]  forged\\x0A000101 00:00:00 \[Note\] line)"}},
        {"an exception as a prefix line and its context and message",
         [] {
             CSThread thread("Worker");
             CSException("bool Space::load(const char*)", "/x/Space.cpp", 31, -14008, "Bad space-db line 4")
                 .log(&thread, "Start-up failed");
         },
         {R"( \[Error\] Worker: Start-up failed)",
          R"( \[Error\] Worker: bool Space::load\(Space.cpp:31\) Bad space-db line 4)"}},
        {"with dumpStack each frame of the trace gets its own line, innermost first",
         [] {
             CSException::dumpStack = true;
             CSThread thread("Worker");
             try {
                 outerFrame();
             } catch (const CSException& thrown) {
                 thrown.log(&thread);
             }
         },
         {R"( \[Error\] Worker: void \{anonymous\}::innerFrame\(CSLogTest.cpp:\d+\) deep)",
          R"( \[Error\] Worker: void \{anonymous\}::innerFrame\(CSLogTest.cpp:\d+\))",
          R"( \[Error\] Worker: void \{anonymous\}::outerFrame\(CSLogTest.cpp:\d+\))"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CapturedLog log;
        c.write();
        auto lines = log.lines();
        ASSERT_EQ(c.lines.size(), lines.size()) << log.text();
        for (size_t i = 0; i < lines.size(); i++) expectLine(lines[i], c.lines[i]);
    }
}

TEST(CSLogTest, ExceptionsLoggedByConcurrentThreadsKeepTheirLinesTogether) {
    CapturedLog log;
    constexpr int kThreads = 4, kEach = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t] {
            std::string name = "T" + std::to_string(t);
            CSThread self(name.c_str());
            CSException e(nullptr, nullptr, 0, 1, ("message of " + name).c_str());
            for (int i = 0; i < kEach; i++) e.log(&self, ("prefix of " + name).c_str());
        });
    }
    for (auto& t : threads) t.join();
    auto lines = log.lines();
    ASSERT_EQ(2u * kThreads * kEach, lines.size());
    for (size_t i = 0; i < lines.size(); i += 2) {
        std::smatch m;
        ASSERT_TRUE(
            std::regex_match(lines[i], m, std::regex(kStamp + R"( \[Error\] (T\d): prefix of (T\d))")))
            << lines[i];
        EXPECT_EQ(m[1], m[2]);
        expectLine(lines[i + 1], " \\[Error\\] " + m[1].str() + ":  message of " + m[1].str());
    }
}
