// Line readers and writers for delimited text files. CSTabDelimited reads and writes TAB-separated
// lines (the space database); CSSpaceDelimited reads lines split at white space with "#" comment
// lines (the MIME type table). Both hand each field to a subclass through virtual callbacks and know
// nothing of what the fields mean. There is no quoting: a value holding a TAB or a line end cannot
// be saved. An object is used by one thread at a time.
#pragma once

#include "CSDefs.h"
#include "CSObject.h"
#include "CSStream.h"
#include "CSString.h"

class CSTabDelimited : public CSObject {
public:
    // One field of the current line; `column` counts from 0 within the line. Never null: an empty
    // field gives an empty string.
    virtual void setValue(int column, CSRef<CSString> value) { (void)column, (void)value; }
    // The current line has ended (also for a line without fields).
    virtual void setEOL() {}
    // The text of one field of output line being saved; must not be null inside the column range.
    virtual const char* getValue(int column) {
        (void)column;
        return nullptr;
    }
    // Prepares output line `line` (from 0); false ends the output.
    virtual bool nextLine(unsigned int line) {
        (void)line;
        return false;
    }

    // Reads the whole stream. Line ends CR, LF and CR LF are accepted; a TAB before a line end
    // gives one more, empty, field. The stream is released when load returns or raises; the
    // callbacks made before an exception stand.
    void load(CSRef<CSInputStream> in);
    // Writes lines of exactly `columns` fields while nextLine() is true, each ended with the
    // stream's line end, then flushes. A value holding a TAB, CR or LF raises -14008 before any byte
    // of its line is written, since it would read back as other fields or lines.
    void save(CSRef<CSOutputStream> out, uint32 columns);

protected:
    CSRef<CSInputStream> iInput;    // only during load
    CSRef<CSOutputStream> iOutput;  // only during save
};

class CSSpaceDelimited : public CSObject {
public:
    // One field (never empty) of the current line, and its end. Blank and comment lines give no
    // calls at all.
    virtual void setValue(int column, CSRef<CSString> value) { (void)column, (void)value; }
    virtual void setEOL() {}

    // Reads the whole stream. White space is the C locale's (space, TAB, LF, VT, FF, CR); a "#"
    // that is the first non-blank byte of a line starts a comment line, elsewhere it is an ordinary
    // byte. The stream is released when load returns or raises.
    void load(CSRef<CSInputStream> in);

protected:
    CSRef<CSInputStream> iInput;  // only during load
};
