// hvps-client: a command-line client of an HVPS server on the client library. One command per
// run; it exits 0 when the server accepted the request, 1 when the request failed (the server's
// error code and message go to standard error) or a local file could not be read or written, and 2
// for a usage error (one line and a pointer to --help, so that the error is not lost in the usage).
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CSException.h"
#include "HVPSClient.h"
#include "hvps_version.h"

namespace {

const char* kUsage =
    "Usage: hvps-client [options] <command> [arguments]\n"
    "\n"
    "Commands:\n"
    "  ping                       ask the server for a sign of life (GET /ping.xml;\n"
    "                             with --xml the XML ping command, encrypted with -k)\n"
    "  create-space [TITLE [VERSION]]\n"
    "                             create a space (needs -k) and print its space URL\n"
    "  stats ID[,ID...]           statistics of the listed spaces (encrypted with -k)\n"
    "  login                      open a session on the space and print it\n"
    "  put PATH [FILE]            upload FILE (default: standard input) to PATH in the space;\n"
    "                             replaces the file unless --offset or --append is given\n"
    "  append-record PATH [FILE]  append a log record whose body (32 bytes or more) is FILE\n"
    "  get PATH [FILE]            download PATH to FILE (default: standard output)\n"
    "  rename PATH NEWNAME        rename a file of the space within its folder\n"
    "  remove PATH                remove a file of the space\n"
    "  delete-space               delete the whole space\n"
    "\n"
    "Options:\n"
    "  -s, --space URL            the space URL hvp://<id>:<key>@<host>:<port>/<repository>/\n"
    "                             (default: $HVPS_SPACE_URL); needed by the space commands\n"
    "  -H, --host HOST            server host (default: the space URL's, else localhost)\n"
    "  -p, --port PORT            server port (default: the space URL's, else 37655)\n"
    "  -k, --password-md5 HEX     the server password's MD5 hex, as printed by hvps-md5pwd\n"
    "                             (default: $HVPS_PASSWORD_MD5)\n"
    "  -r, --restore-id N         send N as the client's restore ID (P1RID)\n"
    "  -t, --timeout MS           reply timeout in milliseconds (default 30000, 0: none)\n"
    "      --xml                  ping: send the XML ping command\n"
    "      --offset N             put: write at byte offset N\n"
    "      --append               put: append at the end of the file (log mode)\n"
    "      --md5                  put: have the server verify the file's MD5 (replacing puts)\n"
    "      --md5-check HEX        put, append-record: the expected MD5 of the whole file\n"
    "      --seek N               get: start at byte N\n"
    "      --length N             get: send at most N bytes\n"
    "  -q, --quiet                no progress meter (shown on a terminal for 1 MiB or more)\n"
    "  -v, --verbose              print the reply's status line and headers to standard error\n"
    "  -h, --help                 print this text\n"
    "      --version              print the version\n";

enum LongOption { kXML = 1000, kOffset, kAppend, kMd5, kMd5Check, kSeek, kLength, kVersion };

struct Options {
    std::string host;
    int port = 0;
    std::string spaceURL;
    std::string passwordMd5;
    std::optional<uint64> restoreID;
    uint32 timeout = 30000;
    bool xml = false;
    std::optional<uint64> offset;
    bool append = false;
    bool md5 = false;
    std::string md5Check;
    std::optional<uint64> seek;
    std::optional<uint64> length;
    bool verbose = false;
    bool quiet = false;
};

class UsageError : public std::exception {
public:
    explicit UsageError(std::string message) : iMessage(std::move(message)) {}
    const char* what() const noexcept override { return iMessage.c_str(); }

private:
    std::string iMessage;
};

uint64 parseNumber(const char* text, const char* option, uint64 max = UINT64_MAX) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = text[0] >= '0' && text[0] <= '9' ? strtoull(text, &end, 10) : 0;
    if (!end || *end || errno == ERANGE || value > max)
        throw UsageError(std::string("invalid number for ") + option + ": " + text);
    return value;
}

std::string readInput(const std::string& name) {
    FILE* file = name == "-" ? stdin : fopen(name.c_str(), "rb");
    if (!file)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_CLIENT_ERROR, "Cannot open %s: %s", name.c_str(),
                                     strerror(errno));
    std::string data;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) data.append(buffer, n);
    bool failed = ferror(file);
    if (file != stdin) fclose(file);
    if (failed) CSException::throwExceptionf(CS_CONTEXT, HVPS_CLIENT_ERROR, "Cannot read %s", name.c_str());
    return data;
}

// A one-line meter on standard error, redrawn in place when the percentage changes; the line is
// ended once the transfer is complete.
class ProgressMeter {
public:
    void operator()(uint64 done, uint64 total) {
        int percent = total ? static_cast<int>(done * 100 / total) : 100;
        if (percent == iShown) return;
        iShown = percent;
        fprintf(stderr, "\r%8.1f of %.1f MiB (%3d%%)", static_cast<double>(done) / kMiB,
                static_cast<double>(total) / kMiB, percent);
        if (done >= total) fputc('\n', stderr);
        fflush(stderr);
    }

    static constexpr uint64 kMiB = 1024 * 1024;

private:
    int iShown = -1;
};

// Shows transfers of 1 MiB or more when standard error is a terminal and -q is not given.
void enableProgress(HVPSClient& client, const Options& options) {
    if (options.quiet || !isatty(STDERR_FILENO)) return;
    client.setProgress([meter = ProgressMeter()](uint64 done, uint64 total) mutable {
        if (total >= ProgressMeter::kMiB) meter(done, total);
    });
}

void printReplyHead(const HVPSReply& reply) {
    fprintf(stderr, "HTTP %d\n", reply.status);
    for (uint32 i = 0; i < reply.headers.numHeaders(); i++) {
        const CSHeader* header = reply.headers.getHeader(i);
        const char* value = header->getValueCString();
        fprintf(stderr, "%s: %s\n", header->getNameCString(), value ? value : "");
    }
}

// Reports a failed reply; returns the exit status.
int report(const HVPSReply& reply, const Options& options, bool printMessage = true) {
    if (options.verbose) printReplyHead(reply);
    if (reply.ok()) {
        if (printMessage && !reply.message.empty()) printf("%s\n", reply.message.c_str());
        return 0;
    }
    if (reply.errorCode != 0)
        fprintf(stderr, "Error: HTTP %d, error %d: %s\n", reply.status, reply.errorCode,
                reply.message.c_str());
    else
        fprintf(stderr, "Error: HTTP %d: %s\n", reply.status,
                reply.message.empty() ? "request failed" : reply.message.c_str());
    if (reply.errorCode == -6)
        fprintf(stderr, "MD5 verified up to byte %" PRIu64 " of %" PRIu64 "\n", reply.md5Offset,
                reply.fileLength);
    if (reply.errorCode == -25018)
        fprintf(stderr, "Restore ID %" PRIu64 ", last log %u, log offset %" PRIu64 "\n", reply.restoreID,
                reply.lastLog, reply.logOffset);
    return 1;
}

HVPSServerKey serverKey(const Options& options, bool required) {
    HVPSServerKey key{};
    if (options.passwordMd5.empty()) {
        if (required) throw UsageError("this command needs the server password's MD5: -k $(hvps-md5pwd)");
        return key;
    }
    if (!HVPSClient::serverKeyFromHex(options.passwordMd5, &key))
        throw UsageError("the server password's MD5 must be 32 hexadecimal digits");
    return key;
}

void needArguments(const std::vector<std::string>& args, size_t min, size_t max, const char* command) {
    if (args.size() < min || args.size() > max)
        throw UsageError(std::string("wrong number of arguments for ") + command);
}

int run(const Options& options, const std::string& command, const std::vector<std::string>& args) {
    std::optional<HVPSSpaceURL> space;
    if (!options.spaceURL.empty()) {
        try {
            space = HVPSSpaceURL::parse(options.spaceURL);
        } catch (const CSException& e) {
            throw UsageError(e.getMessage());
        }
    }
    std::string host = !options.host.empty() ? options.host : space ? space->host : "localhost";
    int port = options.port ? options.port : space ? space->port : HVPS_DEFAULT_PORT;

    HVPSClient client(host, port);
    client.setTimeout(options.timeout);
    if (options.restoreID) client.setRestoreID(options.restoreID);
    enableProgress(client, options);
    auto needSpace = [&]() {
        if (!space) throw UsageError(command + " needs a space URL: -s hvp://... or $HVPS_SPACE_URL");
        client.setSpace(*space);
    };
    bool hasKey = !options.passwordMd5.empty();

    if (command == "ping") {
        needArguments(args, 0, 0, "ping");
        if (!options.xml) return report(client.ping(), options);
        HVPSServerKey key = serverKey(options, false);
        return report(client.pingXML(hasKey ? &key : nullptr), options);
    }
    if (command == "create-space") {
        needArguments(args, 0, 2, "create-space");
        HVPSServerKey key = serverKey(options, true);
        HVPSSpaceURL url;
        const HVPSReply& reply =
            client.createSpace(key, args.size() > 0 ? args[0] : "", args.size() > 1 ? args[1] : "", &url);
        int status = report(reply, options, false);
        if (status == 0) printf("%s\n", url.format().c_str());
        return status;
    }
    if (command == "stats") {
        needArguments(args, 1, 1, "stats");
        HVPSServerKey key = serverKey(options, false);
        std::vector<HVPSSpaceStats> stats;
        const HVPSReply& reply = client.stats(args[0], hasKey ? &key : nullptr, &stats);
        int status = report(reply, options, false);
        if (status == 0) {
            printf("%-12s %-8s %-20s %s\n", "space", "status", "disk limit", "disk usage");
            for (const auto& entry : stats)
                printf("%-12u %-8u %-20" PRId64 " %" PRIu64 "\n", entry.spaceID, entry.status,
                       entry.diskLimit, entry.diskUsage);
        }
        return status;
    }

    static const char* const kSpaceCommands[] = {"login",  "put",    "append-record", "get",
                                                 "rename", "remove", "delete-space"};
    if (std::find(std::begin(kSpaceCommands), std::end(kSpaceCommands), command) == std::end(kSpaceCommands))
        throw UsageError("unknown command: " + command);
    needSpace();
    if (command == "login") {
        needArguments(args, 0, 0, "login");
        const HVPSReply& reply = client.login();
        int status = report(reply, options, false);
        if (status == 0)
            printf("Session %u, next code %s\n", client.sessionID(), client.challengeHex().c_str());
        return status;
    }
    if (command == "put") {
        needArguments(args, 1, 2, "put");
        if (options.append && options.offset) throw UsageError("--offset and --append exclude each other");
        if (options.md5 && !options.md5Check.empty())
            throw UsageError("--md5 and --md5-check exclude each other");
        if (options.md5 && (options.append || options.offset))
            throw UsageError("--md5 needs a replacing put; give the whole file's MD5 with --md5-check");
        std::string data = readInput(args.size() > 1 ? args[1] : "-");
        HVPSPutOptions put;
        if (options.append) put.placement = HVPSPlacement::Append;
        if (options.offset) {
            put.placement = HVPSPlacement::AtOffset;
            put.offset = *options.offset;
        }
        put.md5Check = options.md5 ? HVPSClient::md5Hex(data.data(), data.size()) : options.md5Check;
        return report(client.putVerified(args[0], data.data(), data.size(), put), options);
    }
    if (command == "append-record") {
        needArguments(args, 1, 2, "append-record");
        std::string body = readInput(args.size() > 1 ? args[1] : "-");
        if (body.size() < 32) throw UsageError("a log record body holds at least 32 bytes");
        return report(client.appendRecord(args[0], body.data(), body.size(), options.md5Check), options);
    }
    if (command == "get") {
        needArguments(args, 1, 2, "get");
        std::string target = args.size() > 1 ? args[1] : "-";
        // The output file is opened with the first byte of a successful reply, so a failed request
        // leaves an existing file as it was.
        std::unique_ptr<FILE, int (*)(FILE*)> file(nullptr, fclose);
        FILE* out = target == "-" ? stdout : nullptr;
        HVPSGetOptions get;
        get.seekPos = options.seek;
        get.maxLength = options.length;
        auto open = [&]() {
            if (out) return;
            file.reset(fopen(target.c_str(), "wb"));
            if (!file)
                CSException::throwExceptionf(CS_CONTEXT, HVPS_CLIENT_ERROR, "Cannot open %s: %s",
                                             target.c_str(), strerror(errno));
            out = file.get();
        };
        const HVPSReply& reply = client.get(args[0], get, [&](const char* data, size_t len) {
            open();
            if (fwrite(data, 1, len, out) != len)
                CSException::throwExceptionf(CS_CONTEXT, HVPS_CLIENT_ERROR, "Cannot write %s",
                                             target.c_str());
        });
        if (reply.ok()) open();  // an empty file for an empty body
        if (out && fflush(out) != 0) {
            fprintf(stderr, "Error: cannot write %s\n", target.c_str());
            return 1;
        }
        return report(reply, options, false);
    }
    if (command == "rename") {
        needArguments(args, 2, 2, "rename");
        return report(client.rename(args[0], args[1]), options);
    }
    if (command == "remove") {
        needArguments(args, 1, 1, "remove");
        return report(client.remove(args[0]), options);
    }
    if (command == "delete-space") {
        needArguments(args, 0, 0, "delete-space");
        return report(client.deleteSpace(), options);
    }
    throw UsageError("unknown command: " + command);
}

}  // namespace

int main(int argc, char** argv) {
    static const struct option kOptions[] = {
        {"space", required_argument, nullptr, 's'},
        {"host", required_argument, nullptr, 'H'},
        {"port", required_argument, nullptr, 'p'},
        {"password-md5", required_argument, nullptr, 'k'},
        {"restore-id", required_argument, nullptr, 'r'},
        {"timeout", required_argument, nullptr, 't'},
        {"verbose", no_argument, nullptr, 'v'},
        {"quiet", no_argument, nullptr, 'q'},
        {"version", no_argument, nullptr, kVersion},
        {"help", no_argument, nullptr, 'h'},
        {"xml", no_argument, nullptr, kXML},
        {"offset", required_argument, nullptr, kOffset},
        {"append", no_argument, nullptr, kAppend},
        {"md5", no_argument, nullptr, kMd5},
        {"md5-check", required_argument, nullptr, kMd5Check},
        {"seek", required_argument, nullptr, kSeek},
        {"length", required_argument, nullptr, kLength},
        {nullptr, 0, nullptr, 0},
    };

    Options options;
    if (const char* url = getenv("HVPS_SPACE_URL")) options.spaceURL = url;
    if (const char* md5 = getenv("HVPS_PASSWORD_MD5")) options.passwordMd5 = md5;
    try {
        opterr = 0;
        int ch;
        while ((ch = getopt_long(argc, argv, ":s:H:p:k:r:t:vqh", kOptions, nullptr)) != -1) {
            switch (ch) {
                case 's':
                    options.spaceURL = optarg;
                    break;
                case 'H':
                    options.host = optarg;
                    break;
                case 'p':
                    options.port = static_cast<int>(parseNumber(optarg, "--port", 65535));
                    break;
                case 'k':
                    options.passwordMd5 = optarg;
                    break;
                case 'r':
                    options.restoreID = parseNumber(optarg, "--restore-id");
                    break;
                case 't':
                    options.timeout = static_cast<uint32>(parseNumber(optarg, "--timeout", UINT32_MAX));
                    break;
                case 'v':
                    options.verbose = true;
                    break;
                case 'q':
                    options.quiet = true;
                    break;
                case kVersion:
                    printf("hvps-client %s\n", HVPS_VERSION_TEXT);
                    return 0;
                case 'h':
                    fputs(kUsage, stdout);
                    return 0;
                case kXML:
                    options.xml = true;
                    break;
                case kOffset:
                    options.offset = parseNumber(optarg, "--offset");
                    break;
                case kAppend:
                    options.append = true;
                    break;
                case kMd5:
                    options.md5 = true;
                    break;
                case kMd5Check:
                    options.md5Check = optarg;
                    break;
                case kSeek:
                    options.seek = parseNumber(optarg, "--seek");
                    break;
                case kLength:
                    options.length = parseNumber(optarg, "--length");
                    break;
                case ':':
                    throw UsageError(std::string("option needs a value: ") + argv[optind - 1]);
                default:
                    throw UsageError(std::string("unknown option: ") + argv[optind - 1]);
            }
        }
        if (optind >= argc) throw UsageError("no command given");
        std::string command = argv[optind];
        std::vector<std::string> args(argv + optind + 1, argv + argc);
        return run(options, command, args);
    } catch (const UsageError& e) {
        fprintf(stderr, "Error: %s\nTry 'hvps-client --help'.\n", e.what());
        return 2;
    } catch (const CSException& e) {
        fprintf(stderr, "Error: %s\n", e.getMessage());
        return 1;
    }
}
