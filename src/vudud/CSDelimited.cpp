#include "CSDelimited.h"

#include <cstring>
#include <string>

#include "CSException.h"

namespace {

// Clears a stream member when the load or save ends, also by an exception.
template <class T>
class MemberScope {
public:
    MemberScope(CSRef<T>& member, CSRef<T> value) : iMember(member) { iMember = std::move(value); }
    ~MemberScope() { iMember.reset(); }
    MemberScope(const MemberScope&) = delete;
    MemberScope& operator=(const MemberScope&) = delete;

private:
    CSRef<T>& iMember;
};

// Moves past one line end (CR, LF or CR LF) when `ch` is at one.
int skipLineEnd(CSInputStream* in, int ch) {
    if (ch == '\r') {
        ch = in->read();
        if (ch == '\n') ch = in->read();
    } else if (ch == '\n') {
        ch = in->read();
    }
    return ch;
}

bool isLineEnd(int ch) { return ch == '\r' || ch == '\n' || ch == -1; }

// The C locale's white space; bytes above 127 never are.
bool isWhite(int ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

// Blank inside a line: white space other than the line ends.
bool isBlank(int ch) { return isWhite(ch) && ch != '\n' && ch != '\r'; }

}  // namespace

void CSTabDelimited::load(CSRef<CSInputStream> in) {
    MemberScope<CSInputStream> scope(iInput, std::move(in));
    CSInputStream* stream = iInput.get();
    std::string field;
    int ch = stream->read();
    while (ch != -1) {
        if (!isLineEnd(ch)) {
            for (int column = 0;; column++) {
                field.clear();
                while (ch != '\t' && !isLineEnd(ch)) {
                    field += static_cast<char>(ch);
                    ch = stream->read();
                }
                setValue(column, CSString::newString(std::string_view(field)));
                if (ch != '\t') break;
                ch = stream->read();
            }
        }
        ch = skipLineEnd(stream, ch);
        setEOL();
    }
}

void CSTabDelimited::save(CSRef<CSOutputStream> out, uint32 columns) {
    MemberScope<CSOutputStream> scope(iOutput, std::move(out));
    CSOutputStream* stream = iOutput.get();
    std::string line;
    for (unsigned int number = 0; nextLine(number); number++) {
        line.clear();
        for (uint32 column = 0; column < columns; column++) {
            const char* value = getValue(static_cast<int>(column));
            if (!value)
                CSException::throwExceptionf(CS_CONTEXT, CS_ERR_ASSERTION,
                                             "No value for column %u of line %u", column, number);
            if (strpbrk(value, "\t\r\n"))
                CSException::throwExceptionf(CS_CONTEXT, CS_ERR_GENERIC_ERROR,
                                             "Value holds a TAB or line end, column %u of line %u", column,
                                             number);
            if (column > 0) line += '\t';
            line += value;
        }
        line += stream->getEOL();
        stream->write(line.data(), line.size());
    }
    stream->flush();
}

void CSSpaceDelimited::load(CSRef<CSInputStream> in) {
    MemberScope<CSInputStream> scope(iInput, std::move(in));
    CSInputStream* stream = iInput.get();
    std::string field;
    int ch = stream->read();
    while (ch != -1) {
        while (isBlank(ch)) ch = stream->read();
        if (ch == '#') {
            while (!isLineEnd(ch)) ch = stream->read();
        }
        if (isLineEnd(ch)) {
            ch = skipLineEnd(stream, ch);
            continue;
        }
        for (int column = 0; !isLineEnd(ch); column++) {
            field.clear();
            while (ch != -1 && !isWhite(ch)) {
                field += static_cast<char>(ch);
                ch = stream->read();
            }
            setValue(column, CSString::newString(std::string_view(field)));
            while (isBlank(ch)) ch = stream->read();
        }
        ch = skipLineEnd(stream, ch);
        setEOL();
    }
}
