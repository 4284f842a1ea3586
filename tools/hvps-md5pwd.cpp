// hvps-md5pwd: prints the value of the configuration key "server-password", the upper-case MD5
// hex digest of the server password. At a terminal the password is typed twice without echo; from
// a pipe or a file the first line of standard input is the password (its line end is not part of
// it). The password never appears on the command line, where other users could see it.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "CSMd5.h"
#include "hvps_version.h"

namespace {

constexpr size_t kMaxPassword = 1024;

void usage() {
    printf(
        "Usage: hvps-md5pwd [--help | --version]\n"
        "Prints the MD5 hash of a password as 32 upper-case hexadecimal digits, the value\n"
        "of 'server-password' in the server's configuration file.\n"
        "At a terminal the password is asked for twice and not shown; otherwise the first\n"
        "line of standard input is taken as the password.\n");
}

// The terminal's settings, restored however the program ends while echo is off.
struct termios gSavedTerminal;
volatile sig_atomic_t gEchoOff = 0;

void restoreTerminal() {
    if (gEchoOff) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &gSavedTerminal);
        gEchoOff = 0;
    }
}

void onSignal(int sig) {
    restoreTerminal();
    signal(sig, SIG_DFL);
    raise(sig);
}

// One line of `in` without its line end. False at the end of input before any character, or
// when the line is longer than kMaxPassword (then *tooLong is set).
bool readLine(FILE* in, std::string* line, bool* tooLong) {
    line->clear();
    *tooLong = false;
    int ch;
    bool any = false;
    while ((ch = fgetc(in)) != EOF) {
        any = true;
        if (ch == '\n') break;
        if (line->size() >= kMaxPassword) {
            *tooLong = true;
            continue;  // read the rest of the line so that nothing of it is left behind
        }
        *line += static_cast<char>(ch);
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return any && !*tooLong;
}

// Asks on the terminal with echo off; the prompt and the line break go to standard error so that
// standard output carries the digest alone.
bool askPassword(const char* prompt, std::string* password, bool* tooLong) {
    fputs(prompt, stderr);
    fflush(stderr);
    struct termios quiet;
    if (tcgetattr(STDIN_FILENO, &gSavedTerminal) == 0) {
        quiet = gSavedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        gEchoOff = 1;
        if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) gEchoOff = 0;
    }
    bool ok = readLine(stdin, password, tooLong);
    bool echoWasOff = gEchoOff;
    restoreTerminal();
    if (!echoWasOff) fputc('\n', stderr);
    return ok;
}

void wipe(std::string& text) {
    volatile char* p = text.data();
    for (size_t i = 0; i < text.size(); i++) p[i] = 0;
    text.clear();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
            usage();
            return 0;
        }
        if (strcmp(argv[1], "--version") == 0) {
            printf("hvps-md5pwd %s\n", HVPS_VERSION_TEXT);
            return 0;
        }
        fprintf(stderr, "Error: unexpected argument: %s\nTry 'hvps-md5pwd --help'.\n", argv[1]);
        return 2;
    }

    std::string password;
    bool tooLong = false;
    if (isatty(STDIN_FILENO)) {
        for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGTSTP}) signal(sig, onSignal);
        std::string again;
        bool ok = askPassword("Password: ", &password, &tooLong);
        if (ok && !password.empty()) ok = askPassword("Password again: ", &again, &tooLong);
        if (ok && !password.empty() && again != password) {
            fprintf(stderr, "Error: the two passwords differ\n");
            wipe(password);
            wipe(again);
            return 1;
        }
        wipe(again);
    } else {
        readLine(stdin, &password, &tooLong);
        if (ferror(stdin)) {
            fprintf(stderr, "Error: cannot read standard input: %s\n", strerror(errno));
            return 1;
        }
    }
    if (tooLong) {
        fprintf(stderr, "Error: the password is longer than %zu characters\n", kMaxPassword);
        wipe(password);
        return 1;
    }
    if (password.empty()) {
        fprintf(stderr, "Error: the password is empty\n");
        return 1;
    }

    CSMd5 md5;
    md5.md5_append(reinterpret_cast<const unsigned char*>(password.data()),
                   static_cast<int>(password.size()));
    wipe(password);
    printf("%s\n", md5.getDigestHex());
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}
