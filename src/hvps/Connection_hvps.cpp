#include "Connection_hvps.h"

MSConnection::MSConnection(CSRef<CSSocket> socket) : iSocket(std::move(socket)) {}

MSConnection::MSConnection(CSRef<CSInputStream> in, CSRef<CSOutputStream> out)
    : iRawInput(std::move(in)), iRawOutput(std::move(out)) {}

void MSConnection::buildStreams() {
    if (iInput) return;
    CSRef<CSInputStream> in = iSocket ? CSRef<CSInputStream>(iSocket->getInputStream()) : iRawInput;
    CSRef<CSOutputStream> out = iSocket ? CSRef<CSOutputStream>(iSocket->getOutputStream()) : iRawOutput;
    iBuffered = CSBufferedInputStream::newStream(std::move(in));
    iInput = CSHTTPInputStream::newStream(iBuffered);
    iOutput = CSHTTPOutputStream::newStream(CSBufferedOutputStream::newStream(std::move(out)));
    iInput->answerContinueOn(iOutput);
}

CSHTTPInputStream* MSConnection::input() {
    buildStreams();
    return iInput.get();
}

CSHTTPOutputStream* MSConnection::output() {
    buildStreams();
    return iOutput.get();
}

MSConnection::Head MSConnection::gatherHead() {
    buildStreams();
    for (;;) {
        std::string_view bytes = iBuffered->buffered();
        if (CSHTTPInputStream::headComplete(bytes) || bytes.size() >= CSHTTPInputStream::kMaxHeadBytes)
            return Head::Ready;
        bool ended = false;
        size_t added = iBuffered->fillAvailable(CSHTTPInputStream::kMaxHeadBytes, &ended);
        if (ended) return iBuffered->getBuffered() ? Head::Ready : Head::Ended;
        if (added == 0) return Head::Partial;
    }
}

void MSConnection::releaseIdleBuffers() {
    if (iBuffered && iBuffered->getBuffered() == 0) {
        iInput.reset();
        iOutput.reset();
        iBuffered.reset();
    }
}

void MSConnection::close() {
    iInput.reset();
    iOutput.reset();
    iBuffered.reset();
    if (iSocket) iSocket->close();
}
