#include "CSURL.h"

#include <optional>

namespace {

using Piece = std::optional<std::string_view>;

// Index of the first of `stops` at or after `pos` within [pos, end), or `end`.
size_t findAny(std::string_view text, size_t pos, size_t end, std::string_view stops) {
    size_t found = text.find_first_of(stops, pos);
    return found == std::string_view::npos || found > end ? end : found;
}

}  // namespace

void CSURL::call(void (CSURL::*callback)(char*), std::string_view piece) {
    iPiece.assign(piece);
    (this->*callback)(iPiece.data());
}

void CSURL::parseURL(const char* url) {
    // A callback may change what `url` points to: the pieces are cut from a copy.
    iURL.assign(url ? url : "");
    const std::string_view text(iURL);
    Piece protocol, user, password, host, port;
    size_t pathStart = 0;

    if (size_t scheme = text.find("://"); scheme != std::string_view::npos) {
        protocol = text.substr(0, scheme);
        size_t start = scheme + 3;
        size_t end = text.find('/', start);
        if (end == std::string_view::npos) end = text.size();
        pathStart = end;

        size_t stop = findAny(text, start, end, ":@");
        std::string_view first = text.substr(start, stop - start);
        Piece second;
        if (stop < end && text[stop] == ':') {
            size_t from = stop + 1;
            stop = findAny(text, from, end, ":@");
            second = text.substr(from, stop - from);
        }
        if (stop < end && text[stop] == '@') {
            user = first;
            password = second;
            size_t from = stop + 1;
            stop = findAny(text, from, end, ":");
            host = text.substr(from, stop - from);
            if (stop < end) port = text.substr(stop + 1, end - stop - 1);
        } else {
            host = first;
            port = second;
        }
    }

    const size_t query = text.find('?', pathStart);
    if (protocol) call(&CSURL::setProtocol, *protocol);
    if (user) call(&CSURL::setUser, *user);
    if (password) call(&CSURL::setPassword, *password);
    if (host) call(&CSURL::setHost, *host);
    if (port) call(&CSURL::setPort, *port);
    call(&CSURL::setPath, text.substr(pathStart, query == std::string_view::npos ? std::string_view::npos
                                                                                 : query - pathStart));
    if (query == std::string_view::npos) return;

    // Name and value side by side in iPiece, each ending with a zero.
    for (size_t pos = query + 1; pos < text.size();) {
        size_t stop = findAny(text, pos, text.size(), "=&");
        iPiece.assign(text.substr(pos, stop - pos));
        size_t value = std::string::npos;
        if (stop < text.size() && text[stop] == '=') {
            size_t from = stop + 1;
            stop = findAny(text, from, text.size(), "&");
            iPiece.push_back('\0');
            value = iPiece.size();
            iPiece.append(text.substr(from, stop - from));
        }
        setArg(iPiece.data(), value == std::string::npos ? nullptr : iPiece.data() + value);
        pos = stop + 1;
    }
}
