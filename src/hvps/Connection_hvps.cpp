#include "Connection_hvps.h"

thread_local MSConnection::Streams MSConnection::tSpare;

MSConnection::MSConnection(CSRef<CSSocket> socket)
    : iSocket(std::move(socket)),
      iRawInput(iSocket->getInputStream()),
      iRawOutput(iSocket->getOutputStream()) {}

MSConnection::MSConnection(CSRef<CSInputStream> in, CSRef<CSOutputStream> out)
    : iRawInput(std::move(in)), iRawOutput(std::move(out)) {}

void MSConnection::buildStreams() {
    if (iStreams.input) return;
    iStreams = std::exchange(tSpare, {});
    if (iStreams.input) {
        iStreams.buffered->rebind(iRawInput);
        iStreams.bufferedOutput->rebind(iRawOutput);
        return;
    }
    iStreams.buffered = CSBufferedInputStream::newStream(iRawInput);
    iStreams.bufferedOutput = CSBufferedOutputStream::newStream(iRawOutput);
    iStreams.input = CSHTTPInputStream::newStream(iStreams.buffered);
    iStreams.output = CSHTTPOutputStream::newStream(iStreams.bufferedOutput);
    iStreams.input->answerContinueOn(iStreams.output);
}

void MSConnection::releaseStreams() {
    Streams streams = std::exchange(iStreams, {});
    if (!streams.input || tSpare.input) return;
    // The next connection must see nothing of this one's last messages; a large body's memory is
    // not kept for it.
    streams.input->resetMessage();
    streams.output->resetMessage();
    streams.buffered->rebind(nullptr);
    streams.bufferedOutput->rebind(nullptr);
    tSpare = std::move(streams);
}

CSHTTPInputStream* MSConnection::input() {
    buildStreams();
    return iStreams.input.get();
}

CSHTTPOutputStream* MSConnection::output() {
    buildStreams();
    return iStreams.output.get();
}

MSConnection::Head MSConnection::gatherHead() {
    buildStreams();
    CSBufferedInputStream* buffered = iStreams.buffered.get();
    for (;;) {
        std::string_view bytes = buffered->buffered();
        if (CSHTTPInputStream::headComplete(bytes) || bytes.size() >= CSHTTPInputStream::kMaxHeadBytes)
            return Head::Ready;
        bool ended = false;
        size_t added = buffered->fillAvailable(CSHTTPInputStream::kMaxHeadBytes, &ended);
        if (ended) return buffered->getBuffered() ? Head::Ready : Head::Ended;
        if (added == 0) return Head::Partial;
    }
}

void MSConnection::releaseIdleBuffers() {
    if (iStreams.buffered && iStreams.buffered->getBuffered() == 0) releaseStreams();
}

void MSConnection::close() {
    releaseStreams();
    if (iSocket) iSocket->close();
}
