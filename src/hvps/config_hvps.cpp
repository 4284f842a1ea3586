#include "config_hvps.h"

#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "CSException.h"
#include "CSFile.h"
#include "CSLog.h"
#include "CSStrUtil.h"
#include "CSStream.h"
#include "CSSys.h"
#include "CSThread.h"

HVPSSystemParameters hvps_system_parameters;

namespace {

constexpr uint64 kMinRepositorySize = 10 * 1024 * 1024;

[[noreturn]] void configError(const char* func, const char* file, int line, const char* fmt,
                              const char* value) __attribute__((format(printf, 4, 0)));

void configError(const char* func, const char* file, int line, const char* fmt, const char* value) {
    CSException::throwExceptionf(func, file, line, CS_ERR_GENERIC_ERROR, fmt, value);
}

void note(const char* text) { CSL.log(CSThread::getSelf(), CSLog::Protocol, text); }

bool isKey(const char* key, const char* name) { return strcasecmp(key, name) == 0; }

bool isYes(const char* value) { return strcasecmp(value, "yes") == 0 || strcasecmp(value, "true") == 0; }

// The leading decimal number of `value`, read the way atoi reads it, but clamped to the int32 range
// instead of overflowing.
int32 leadingDecimal(const char* value) {
    errno = 0;
    long n = strtol(value, nullptr, 10);
    if (n > INT32_MAX) return INT32_MAX;
    if (n < INT32_MIN) return INT32_MIN;
    return static_cast<int32>(n);
}

// A time-out in milliseconds: an unsigned decimal that fills the whole value and fits 32 bits.
// Signs are refused: strtoul would silently turn "-1" into a time-out of seven weeks.
bool parseTimeout(const char* value, uint32* out) {
    if (!*value) {
        *out = 0;
        return true;
    }
    if (strchr(value, '-') || strchr(value, '+')) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(value, &end, 10);
    if (end == value || *end || errno == ERANGE || n > UINT32_MAX) return false;
    *out = static_cast<uint32>(n);
    return true;
}

bool isMd5Hex(const char* value) {
    if (strlen(value) != 32) return false;
    for (const char* p = value; *p; ++p)
        if (!isxdigit(static_cast<unsigned char>(*p))) return false;
    return true;
}

std::string truncated(const char* value, size_t max) { return std::string(value, strnlen(value, max)); }

void setServerPassword(const char* value) {
    if (isMd5Hex(value)) {
        hvps_system_parameters.iServerPassword = value;
        return;
    }
    note("Use the program 'hvps-md5pwd' to generate a MD5 hash value\n");
    note("(32 character hex string) for your password.\n");
    if (!*value)
        CSException::throwException(CS_CONTEXT, CS_ERR_GENERIC_ERROR,
                                    "Server password (server-password) not specified");
    CSException::throwException(CS_CONTEXT, CS_ERR_GENERIC_ERROR,
                                "Server password (server-password) is not the result of an MD5 hash");
}

void setRepositoryPath(const char* value) {
    if (!CSSys::sys_exists(value))
        configError(CS_CONTEXT, "Repository path (repository-path) does not exist: %s", value);
    char path[HVPSSystemParameters::kMaxRepositoryPath + 1];
    cs_strcpy(sizeof(path), path, value);
    cs_remove_dir_char(path);
    hvps_system_parameters.iRepositoryPath = path;
}

void setRepositoryName(const char* value) {
    for (const char* p = value; *p; ++p) {
        if (!isalnum(static_cast<unsigned char>(*p)) && *p != '_' && *p != '-')
            configError(
                CS_CONTEXT,
                "Repository name (repository-name) '%s', contains invalid character, allowed a-z, A-Z, "
                "0-9, _",
                value);
    }
    if (strlen(value) > HVPSSystemParameters::kMaxRepositoryName)
        CSException::throwExceptionf(CS_CONTEXT, CS_ERR_GENERIC_ERROR,
                                     "Repository name (repository-name) to long, %d characters allowed",
                                     static_cast<int>(HVPSSystemParameters::kMaxRepositoryName));
    hvps_system_parameters.iRepositoryName = value;
}

void setRepositorySize(const char* value) {
    if (*value)
        hvps_system_parameters.iRepositorySizeText =
            truncated(value, HVPSSystemParameters::kMaxRepositorySizeText);
    bool err = false;
    int64 size = *value ? cs_byte_size_to_int8(value, &err) : 0;
    if (*value && !err && size >= static_cast<int64>(kMinRepositorySize)) {
        hvps_system_parameters.iRepositorySize = static_cast<uint64>(size);
        return;
    }
    note("The system parameter 'repository-size' must be specified\n");
    note("before HVPS will start. The minimum size is 10MB.\n");
    if (!*value)
        CSException::throwException(CS_CONTEXT, CS_ERR_GENERIC_ERROR,
                                    "Repository size (repository-size) not specified");
    if (err) configError(CS_CONTEXT, "Invalid repository size (repository-size): %s", value);
    configError(CS_CONTEXT, "Repository size (repository-size), %s, is less than 10MB", value);
}

}  // namespace

void setConfigDefaults() {
    auto& p = hvps_system_parameters;
    p.iServerPassword.clear();
    p.iServerPort = 37655;
    char host[HVPSSystemParameters::kMaxServerHost + 1] = {};
    if (gethostname(host, sizeof(host) - 1) != 0) host[0] = 0;
    p.iServerHost = host;
    p.iRepositoryPath = "./data";
    p.iPollInterval = 30;
    p.iRepositoryName = "repo1";
    p.iStoreSpaceTitles = false;
    p.iMinHandlers = 20;
    p.iMaxHandlers = 20;
    p.iRepositorySize = 0;
    p.iRepositorySizeText.clear();
    p.iConnectionTimeout = 120000;
    p.iPutVerifyTimeout = 100000;
    p.iSyncUploads = true;
    p.iDiskUsage = 0;
}

void setSystemParameter(const char* key, const char* value) {
    auto& p = hvps_system_parameters;
    bool empty = !*value;

    if (isKey(key, "server-password")) {
        setServerPassword(value);
    } else if (isKey(key, "server-port")) {
        if (empty) return;
        int32 port = leadingDecimal(value);
        if (port < 1 || port > 65535) configError(CS_CONTEXT, "Invalid port (server-port) number: %s", value);
        p.iServerPort = port;
    } else if (isKey(key, "server-host")) {
        if (!empty) p.iServerHost = truncated(value, HVPSSystemParameters::kMaxServerHost);
    } else if (isKey(key, "repository-data")) {
        if (!empty) setRepositoryPath(value);
    } else if (isKey(key, "poll-interval")) {
        if (!empty) p.iPollInterval = leadingDecimal(value);
    } else if (isKey(key, "repository-name")) {
        if (!empty) setRepositoryName(value);
    } else if (isKey(key, "repository-size")) {
        setRepositorySize(value);
    } else if (isKey(key, "store-space-titles")) {
        if (!empty) p.iStoreSpaceTitles = isYes(value);
    } else if (isKey(key, "maximum-connections")) {
        if (empty) return;
        p.iMinHandlers = p.iMaxHandlers = leadingDecimal(value);
    } else if (isKey(key, "connection-timeout")) {
        if (!parseTimeout(value, &p.iConnectionTimeout))
            configError(CS_CONTEXT, "Connection timeout (connection-timeout) value is invalid: %s", value);
    } else if (isKey(key, "put-verify-timeout")) {
        if (!parseTimeout(value, &p.iPutVerifyTimeout))
            configError(CS_CONTEXT, "Put verification timeout (put-verify-timeout) value is invalid: %s",
                        value);
    } else if (isKey(key, "sync-uploads")) {
        // Only a plain "no" gives up the protection; a mistyped value must not do so silently.
        if (empty) return;
        if (isYes(value))
            p.iSyncUploads = true;
        else if (strcasecmp(value, "no") == 0 || strcasecmp(value, "false") == 0)
            p.iSyncUploads = false;
        else
            configError(CS_CONTEXT, "Upload flushing (sync-uploads) must be yes or no: %s", value);
    } else if (isKey(key, "verbose")) {
        if (!empty) p.iVerbose = CSException::dumpStack = isYes(value);
    } else if (isKey(key, "trace-on")) {
        if (!empty) p.iTraceOn = isYes(value);
    } else {
        configError(CS_CONTEXT, "Unknown system parameter: '%s'", key);
    }
}

void HVPSProperties::setProperty(CSString* key, CSString* value) {
    CSRef<CSString> k(key), v(value);
    setSystemParameter(k ? k->getCString() : "", v ? v->getCString() : "");
}

void loadConfig(const char* path) {
    if (!CSSys::sys_exists(path))
        CSL.logf(CSThread::getSelf(), CSLog::Error, "Cannot find configuration file: '%s'\n", path);
    CSRef<CSFile> file = CSFile::newFile(path);
    file->open(CSFile::READONLY);
    {
        HVPSProperties properties;
        properties.load(CSBufferedInputStream::newStream(CSFileInputStream::newStream(file)));
    }
    file->close();

    const auto& p = hvps_system_parameters;
    const char* missing = nullptr;
    if (p.iServerPassword.empty())
        missing = "server-password";
    else if (p.iServerHost.empty())
        missing = "server-host";
    else if (p.iRepositoryPath.empty())
        missing = "repository-data";
    else if (p.iRepositoryName.empty())
        missing = "repository-name";
    else if (p.iRepositorySize == 0)
        missing = "repository-size";
    if (missing) configError(CS_CONTEXT, "System parameter '%s' not specified", missing);
}
