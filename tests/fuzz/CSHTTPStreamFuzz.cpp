// A client's byte stream read the way the server reads a connection: heads and bodies one after
// another until the input ends or a message is refused. Checks the limits the reader promises.
#include <cstring>
#include <string>

#include "CSException.h"
#include "CSHTTPStream.h"
#include "CSStream.h"
#include "FuzzSupport.h"

namespace {

constexpr uint64 kBodyLimit = 1000;
constexpr int kMaxMessages = 50;

void examineHead(CSHTTPInputStream& in) {
    FUZZ_CHECK(in.numHeaders() <= CSHTTPInputStream::kMaxHeaderLines);
    for (uint32 i = 0; i < in.numHeaders(); i++) FUZZ_CHECK(in.getHeader(i) != nullptr);
    FUZZ_CHECK(in.getHeader(in.numHeaders()) == nullptr);

    uint64 length = 0, start = 0;
    if (in.getRange(&length, &start)) {
        FUZZ_CHECK(length >= 1);
        FUZZ_CHECK(start + (length - 1) >= start);  // the last byte is addressable
    }
    for (const char* name : {"Host", "Connection", "P1Session", "P1KeyCode", "Seek-Pos", "Expect"}) {
        const char* text = in.getHeaderCStringValue(name);
        if (text) FUZZ_CHECK(std::strlen(text) < CSHTTPInputStream::kMaxLineLength);
    }
}

// Writes the parsed headers back out the way a reply writes its own.
void echoHead(CSHTTPInputStream& in) {
    auto memory = CSMemoryOutputStream::newStream(256, 256);
    auto out = CSHTTPOutputStream::newStream(memory);
    out->setStatus(200);
    out->addHeaders(in);
    out->appendBody("ok");
    out->writeHead();
    out->writeBody();
    FUZZ_CHECK(memory->getSize() > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto in = CSHTTPInputStream::newStream(CSMemoryInputStream::newStream(data, size));
    try {
        for (int i = 0; i < kMaxMessages; i++) {
            in->readHead();
            if (!in->getMethod() && in->getStatus() == 0 && in->numHeaders() == 0) break;
            examineHead(*in);
            echoHead(*in);
            in->readBody(kBodyLimit);
            FUZZ_CHECK(in->getBodyLength() <= kBodyLimit);
            uint64 declared = 0;
            if (in->getContentLength(&declared)) FUZZ_CHECK(in->getBodyLength() == declared);
            in->removeHeader("Host");
            FUZZ_CHECK(in->getHeaderCStringValue("Host") == nullptr);
        }
    } catch (const CSException&) {
        // A refused message: the reader's answer to bad input.
    }
    return 0;
}
