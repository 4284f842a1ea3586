// CSOptions: a table of command-line options, the parser of an argument vector against it, the
// defaults of options not given, and the help text. Findings are reported through five virtual
// operations that a subclass overrides; the parser never fails on bad input and goes on with the
// next argument. Texts given to the table (names, help, defaults, the command-line text) are not
// copied: they must outlive the table, and a default passed to setOption stays valid after the
// table is gone as long as the text itself does (string literals in practice). Values passed to
// setOption for given options point into argv. One thread uses an object at a time.
#pragma once

#include <cstdio>
#include <vector>

#include "CSDefs.h"
#include "CSObject.h"

class CSOptions : public CSObject {
public:
    CSOptions() = default;

    // Reporting operations; all do nothing here. `arg` is the argument as typed.
    virtual void setOption(int id, const char* value) {
        (void)id;
        (void)value;
    }
    virtual void setOptionExpectedValue(int id, const char* arg) {
        (void)id;
        (void)arg;
    }
    virtual void setOptionUnexpectedValue(int id, const char* arg, const char* value) {
        (void)id;
        (void)arg;
        (void)value;
    }
    virtual void setOptionAlreadySpecified(const char* arg) { (void)arg; }
    virtual void setUnknownOption(const char* arg) { (void)arg; }

    // The text shown after the program name in the usage line.
    void setComandLine(const char* text) { iCommandLine = text; }
    // shortLetter 0: no short form; longName null: no long form; argName non-null: takes a value.
    void addOption(int id, char shortLetter, const char* longName, const char* argName, const char* help);
    // Sets the default of the first option with this id; an unknown id is ignored.
    void setDefault(int id, const char* value);

    // Parses argv[1..argc-1] against the table, then applies the defaults of the options not given.
    void load(int argc, char** argv);

    // Usage line and one entry per option, in table order.
    void printHelp();
    // Prints text wrapped after column `limit` at the next white space, indenting new lines by
    // `indent`. Words are never broken.
    void printLimit(int indent, int limit, const char* text);

    // Where printHelp writes (standard output unless changed). The stream is not owned.
    void setOutput(FILE* out) { iOutput = out; }

    // Whether the option with this id was given on the last load.
    bool isSpecified(int id) const;

private:
    struct Option {
        int id;
        char shortLetter;
        const char* longName;
        const char* argName;
        const char* help;
        bool specified;
        const char* defaultValue;
    };

    void matched(Option& option, const char* arg, const char* value, bool hasValue);
    void put(char ch);
    void print(const char* text);

    std::vector<Option> iOptions;
    const char* iCommandLine = "";
    const char* iProgramPath = nullptr;
    int32 iColumn = 0;
    FILE* iOutput = stdout;
};
