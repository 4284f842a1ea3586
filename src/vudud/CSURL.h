// CSURL splits a URL or a request URI into its parts and hands each part to a subclass through a
// callback. It is purely syntactic: nothing is decoded (percent escapes and "+" arrive unchanged),
// nothing is checked, and it raises no error of its own. A parse is used by one thread at a time;
// an object keeps the memory of its copies from one parse to the next.
#pragma once

#include <string>
#include <string_view>

#include "CSDefs.h"

class CSURL {
public:
    virtual ~CSURL() = default;

    // The callbacks receive zero-terminated pieces of a private copy of the input: valid only during
    // the call, and the callback may change them. `value` of setArg is null when the argument has no
    // "=", and empty when "=" is followed by nothing.
    virtual void setArg(char* name, char* value) = 0;
    virtual void setProtocol(char* protocol) = 0;
    virtual void setUser(char* user) = 0;
    virtual void setPassword(char* password) = 0;
    virtual void setHost(char* host) = 0;
    virtual void setPort(char* port) = 0;
    virtual void setPath(char* path) = 0;

    // Calls setProtocol, setUser, setPassword, setHost, setPort (each only for a part that is
    // present), then setPath (always, possibly empty), then setArg once per query argument in the
    // order of the text. An exception of a callback ends the parse and passes to the caller.
    void parseURL(const char* url);

private:
    // Hands `callback` a zero-terminated copy of `piece` in iPiece.
    void call(void (CSURL::*callback)(char*), std::string_view piece);

    std::string iURL;    // the input, copied before any callback runs
    std::string iPiece;  // the copy a callback is given
};
