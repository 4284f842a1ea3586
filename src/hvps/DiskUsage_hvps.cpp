#include "DiskUsage_hvps.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "CSDirectory.h"
#include "CSException.h"
#include "CSFile.h"
#include "CSLog.h"
#include "CSSys.h"
#include "CSThread.h"
#include "config_hvps.h"

namespace {

constexpr size_t kMaxRead = 100;

// The value the file holds as far as this process knows: set by a load that read a number and by
// every save. Guarded by the system-parameter lock.
std::optional<uint64> gLastSaved;

std::string diskUsageFile() { return hvps_system_parameters.iRepositoryPath + "/disk-usage"; }

uint64 walk(std::string& path, bool countFiles) {
    auto dir = CSDirectory::newDirectory(path.c_str());
    dir->open();
    size_t base = path.size();
    uint64 total = 0;
    while (dir->next()) {
        path.resize(base);
        path += '/';
        path += dir->name();
        if (!dir->isFile())
            total += walk(path, true);
        else if (countFiles)
            total += dir->getSize();
    }
    path.resize(base);
    return total;
}

}  // namespace

uint64 SystemParameters::getDiskUsage(const char* path, bool countFiles) {
    std::string text = path;
    return walk(text, countFiles);
}

void SystemParameters::loadDiskUsage() {
    CSThread* self = CSThread::getSelf();
    std::string path = diskUsageFile();
    uint64 usage = 0;
    {
        std::lock_guard<CSLock> hold(hvps_system_parameters.iLock);
        hvps_system_parameters.iDiskUsage = 0;
        gLastSaved.reset();
    }

    if (CSSys::sys_exists(path.c_str())) {
        char text[kMaxRead + 1];
        size_t len;
        {
            CSRef<CSFile> file = CSFile::newFile(path.c_str());
            file->openFile(CSFile::READONLY);
            len = file->read(text, 0, kMaxRead, 0);
        }
        text[len] = 0;
        if (len > 0) {
            // Only blanks and digits: a sign, a line end or any other byte is refused rather than
            // taken for a number that would then be written back.
            const char* p = text;
            while (p < text + len && (*p == ' ' || *p == '\t')) p++;
            char* end = nullptr;
            errno = 0;
            if (p < text + len && isdigit(static_cast<unsigned char>(*p))) usage = strtoull(p, &end, 10);
            if (!end || end != text + len || errno == ERANGE)
                CSException::throwExceptionf(CS_CONTEXT, CS_ERR_GENERIC_ERROR,
                                             "Strange value in %s file: '%s'", path.c_str(), text);
        }
        if (usage == 0)
            CSL.log(self, CSLog::Protocol, "Recalculating disk usage...\n");
        else {
            std::lock_guard<CSLock> hold(hvps_system_parameters.iLock);
            gLastSaved = usage;
        }
    } else
        CSL.logf(self, CSLog::Protocol, "%s not found: recalculating disk usage...\n", path.c_str());

    if (usage == 0) {
        usage = getDiskUsage(hvps_system_parameters.iRepositoryPath.c_str(), false);
        CSL.logf(self, CSLog::Protocol, "Disk usage: %llu bytes\n", static_cast<unsigned long long>(usage));
    }
    std::lock_guard<CSLock> hold(hvps_system_parameters.iLock);
    hvps_system_parameters.iDiskUsage = usage;
}

void SystemParameters::saveDiskUsage(uint64 usage) {
    char text[32];
    int len = snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(usage));
    CSRef<CSFile> file = CSFile::newFile(diskUsageFile().c_str());
    file->openFile(CSFile::CREATE | CSFile::TRUNCATE);
    file->write(text, 0, static_cast<size_t>(len));
    // Once a second at most: a clean stop then removes the run marker only after the count is on
    // disk, so the next start never trusts a count a power cut took back.
    file->sync();
    file->close();
    std::lock_guard<CSLock> hold(hvps_system_parameters.iLock);
    gLastSaved = usage;
}

void SystemParameters::saveDiskUsageIfChanged() {
    uint64 usage;
    {
        std::lock_guard<CSLock> hold(hvps_system_parameters.iLock);
        usage = hvps_system_parameters.iDiskUsage;
        if (usage == 0 || gLastSaved == usage) return;
    }
    saveDiskUsage(usage);
}

void SystemParameters::setDiskUsage(uint64 oldSize, uint64 newSize) {
    std::lock_guard<CSLock> hold(hvps_system_parameters.iLock);
    uint64& usage = hvps_system_parameters.iDiskUsage;
    if (newSize >= oldSize)
        usage += newSize - oldSize;
    else
        usage -= std::min(usage, oldSize - newSize);
}

uint64 SystemParameters::currentDiskUsage() {
    std::lock_guard<CSLock> hold(hvps_system_parameters.iLock);
    return hvps_system_parameters.iDiskUsage;
}
