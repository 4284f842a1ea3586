#include "CSOptions.h"

#include <cctype>
#include <cstring>

#include "CSStrUtil.h"

void CSOptions::addOption(int id, char shortLetter, const char* longName, const char* argName,
                          const char* help) {
    iOptions.push_back(Option{id, shortLetter, longName, argName, help, false, nullptr});
}

void CSOptions::setDefault(int id, const char* value) {
    for (Option& option : iOptions) {
        if (option.id == id) {
            option.defaultValue = value;
            return;
        }
    }
}

bool CSOptions::isSpecified(int id) const {
    for (const Option& option : iOptions)
        if (option.id == id && option.specified) return true;
    return false;
}

void CSOptions::matched(Option& option, const char* arg, const char* value, bool hasValue) {
    if (option.specified) {
        setOptionAlreadySpecified(arg);
        return;
    }
    option.specified = true;
    if (option.argName && !hasValue)
        setOptionExpectedValue(option.id, arg);
    else if (!option.argName && hasValue)
        setOptionUnexpectedValue(option.id, arg, value);
    else
        setOption(option.id, value);
}

void CSOptions::load(int argc, char** argv) {
    iProgramPath = argc > 0 ? argv[0] : nullptr;
    for (Option& option : iOptions) option.specified = false;

    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            setUnknownOption(arg);
        } else if (arg[1] == '-') {
            // Long form: the name must be followed by the end of the argument or "=". Looking on
            // after a name that is only a prefix keeps an option reachable whose long name starts
            // with another option's name.
            const char* text = arg + 2;
            Option* found = nullptr;
            const char* value = nullptr;
            for (Option& option : iOptions) {
                if (!option.longName || !*option.longName) continue;
                size_t len = strlen(option.longName);
                if (strncmp(text, option.longName, len) != 0) continue;
                if (text[len] == 0 || text[len] == '=') {
                    found = &option;
                    value = text[len] == '=' ? text + len + 1 : nullptr;
                    break;
                }
            }
            if (found)
                matched(*found, arg, value, value != nullptr);
            else
                setUnknownOption(arg);
        } else if (arg[1] != 0 && arg[2] == 0) {
            Option* found = nullptr;
            for (Option& option : iOptions) {
                if (option.shortLetter && option.shortLetter == arg[1]) {
                    found = &option;
                    break;
                }
            }
            if (!found) {
                setUnknownOption(arg);
                continue;
            }
            const char* value = nullptr;
            if (found->argName && i + 1 < argc && argv[i + 1][0] != '-') value = argv[++i];
            matched(*found, arg, value, value != nullptr);
        } else {
            // "-" alone, grouped letters ("-dv") and attached values ("-pfile") are not accepted.
            setUnknownOption(arg);
        }
    }

    for (Option& option : iOptions)
        if (!option.specified && option.defaultValue) setOption(option.id, option.defaultValue);
}

void CSOptions::put(char ch) { fputc(ch, iOutput); }

void CSOptions::print(const char* text) { fputs(text, iOutput); }

void CSOptions::printLimit(int indent, int limit, const char* text) {
    for (; *text; text++) {
        char ch = *text;
        if (ch == '\n') {
            put(ch);
            iColumn = 0;
            continue;
        }
        if (iColumn >= limit && isspace(static_cast<unsigned char>(ch))) {
            put('\n');
            iColumn = 0;
            continue;
        }
        if (iColumn == 0) {
            for (int i = 0; i < indent; i++) put(' ');
            iColumn = indent;
        }
        put(ch);
        iColumn++;
    }
}

void CSOptions::printHelp() {
    fprintf(iOutput, "Usage: %s %s\n", iProgramPath ? cs_last_name_of_path(iProgramPath) : "",
            iCommandLine ? iCommandLine : "");
    for (const Option& option : iOptions) {
        if (option.shortLetter) {
            fprintf(iOutput, "-%c", option.shortLetter);
            if (option.argName) fprintf(iOutput, " <%s>", option.argName);
        }
        if (option.longName) {
            if (option.shortLetter) print(" | ");
            fprintf(iOutput, "--%s", option.longName);
            if (option.argName) fprintf(iOutput, "=<%s>", option.argName);
        }
        put('\n');
        if (option.help || option.defaultValue) {
            iColumn = 0;
            if (option.help) printLimit(15, 60, option.help);
            if (option.defaultValue) {
                printLimit(15, 60, " (default: ");
                printLimit(15, 60, option.defaultValue);
                printLimit(15, 60, ")");
            }
            printLimit(15, 60, ".\n");
        }
    }
    fflush(iOutput);
}
