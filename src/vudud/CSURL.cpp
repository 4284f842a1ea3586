#include "CSURL.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using Piece = std::optional<std::string>;

// Index of the first of `stops` at or after `pos` within [pos, end), or `end`.
size_t findAny(std::string_view text, size_t pos, size_t end, std::string_view stops) {
    size_t found = text.find_first_of(stops, pos);
    return found == std::string_view::npos || found > end ? end : found;
}

void call(CSURL* url, void (CSURL::*callback)(char*), Piece& piece) {
    if (piece) (url->*callback)(piece->data());
}

}  // namespace

void CSURL::parseURL(const char* url) {
    std::string_view text(url ? url : "");
    Piece protocol, user, password, host, port;
    size_t pathStart = 0;

    if (size_t scheme = text.find("://"); scheme != std::string_view::npos) {
        protocol = std::string(text.substr(0, scheme));
        size_t start = scheme + 3;
        size_t end = text.find('/', start);
        if (end == std::string_view::npos) end = text.size();
        pathStart = end;

        size_t stop = findAny(text, start, end, ":@");
        std::string first(text.substr(start, stop - start));
        Piece second;
        if (stop < end && text[stop] == ':') {
            size_t from = stop + 1;
            stop = findAny(text, from, end, ":@");
            second = std::string(text.substr(from, stop - from));
        }
        if (stop < end && text[stop] == '@') {
            user = std::move(first);
            password = std::move(second);
            size_t from = stop + 1;
            stop = findAny(text, from, end, ":");
            host = std::string(text.substr(from, stop - from));
            if (stop < end) port = std::string(text.substr(stop + 1, end - stop - 1));
        } else {
            host = std::move(first);
            port = std::move(second);
        }
    }

    size_t query = text.find('?', pathStart);
    std::string path(
        text.substr(pathStart, query == std::string_view::npos ? std::string_view::npos : query - pathStart));

    std::vector<std::pair<std::string, Piece>> args;
    if (query != std::string_view::npos) {
        size_t pos = query + 1;
        while (pos < text.size()) {
            size_t stop = findAny(text, pos, text.size(), "=&");
            std::string name(text.substr(pos, stop - pos));
            Piece value;
            if (stop < text.size() && text[stop] == '=') {
                size_t from = stop + 1;
                stop = findAny(text, from, text.size(), "&");
                value = std::string(text.substr(from, stop - from));
            }
            args.emplace_back(std::move(name), std::move(value));
            pos = stop + 1;
        }
    }

    call(this, &CSURL::setProtocol, protocol);
    call(this, &CSURL::setUser, user);
    call(this, &CSURL::setPassword, password);
    call(this, &CSURL::setHost, host);
    call(this, &CSURL::setPort, port);
    setPath(path.data());
    for (auto& [name, value] : args) setArg(name.data(), value ? value->data() : nullptr);
}
