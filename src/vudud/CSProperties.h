// CSProperties: reads a text stream of "key value" / "key=value" lines and hands every pair, in
// file order, to the virtual setProperty. Comments start with "#" as the first non-blank character;
// values are taken as they stand (no quoting, escapes or continuation lines). The reader raises no
// error of its own for bad input: the subclass decides what a pair means. One thread uses an object
// at a time.
#pragma once

#include "CSObject.h"
#include "CSStream.h"
#include "CSString.h"

class CSProperties : public CSObject {
public:
    CSProperties() = default;

    // Takes over the caller's reference to `stream`, reads it to its end and releases it, also when
    // setProperty raises (reading stops there).
    void load(CSInputStream* stream);
    void load(CSRef<CSInputStream> stream);

    // Receives one reference to each of key and value and must release both (CSRef adopts them).
    // This base version only releases them.
    virtual void setProperty(CSString* key, CSString* value);

protected:
    // The stream being read: set during load, null otherwise.
    CSInputStream* getStream() const { return iStream; }

private:
    void parse();

    CSInputStream* iStream = nullptr;
};
