#include "Deletion_hvps.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "CSDirectory.h"
#include "CSException.h"
#include "CSLog.h"
#include "CSPath.h"
#include "CSSyncGroup.h"
#include "CSSys.h"
#include "CSThread.h"
#include "ConnectionHandler_hvps.h"
#include "DiskUsage_hvps.h"
#include "Space_hvps.h"
#include "config_hvps.h"

namespace {

std::string repositoryPath(const std::string& name) {
    return hvps_system_parameters.iRepositoryPath + "/" + name;
}

bool stopRequested() {
    CSThread* self = CSThread::getSelf();
    return self && self->mustQuit();
}

// The requests that change files, per space, and the spaces closed to them by a mark. A closed
// space stays closed for the life of the process: its id is never used again.
std::mutex gWritersLock;
std::condition_variable gWriterLeft;
std::map<uint32, uint32> gWriters;  // guarded by gWritersLock
std::set<uint32> gClosed;           // guarded by gWritersLock

// Closes space `id` to new writers and waits until those inside have left. The wait wakes up now
// and then to let a stopping server interrupt it.
void closeToWriters(uint32 id) {
    std::unique_lock<std::mutex> hold(gWritersLock);
    gClosed.insert(id);
    while (gWriters.count(id) != 0) {
        gWriterLeft.wait_for(hold, std::chrono::milliseconds(200));
        try {
            CSSys::sys_checkSignal();
        } catch (...) {
            gClosed.erase(id);
            throw;
        }
    }
}

void reopenToWriters(uint32 id) {
    std::lock_guard<std::mutex> hold(gWritersLock);
    gClosed.erase(id);
}

}  // namespace

SpaceWriter::SpaceWriter(uint32 id) : iID(id) {
    std::lock_guard<std::mutex> hold(gWritersLock);
    if (gClosed.count(id) != 0)
        CSException::throwExceptionf(CS_CONTEXT, HVPS_ERR_SPACE_DISABLED, "Space %u has been disabled", id);
    gWriters[id]++;
}

SpaceWriter::~SpaceWriter() {
    std::lock_guard<std::mutex> hold(gWritersLock);
    auto it = gWriters.find(iID);
    if (--it->second == 0) {
        gWriters.erase(it);
        gWriterLeft.notify_all();
    }
}

uint32 markedSpaceID(const char* name) {
    std::string_view text(name ? name : "");
    const size_t suffixLen = strlen(kToDeleteSuffix);
    if (text.size() <= suffixLen || !text.ends_with(kToDeleteSuffix)) return 0;
    // Only the names the mark itself makes: "05-TO_DELETE" or "5x-TO_DELETE" are somebody else's
    // directories and must not cost space 5 its record.
    uint32 id = 0;
    return parseSpaceID(text.substr(0, text.size() - suffixLen), &id) ? id : 0;
}

namespace {
// Sizes of spaces whose record is gone while their folder is being removed. Main thread only.
std::map<uint32, uint64> gRemovedSizes;
}  // namespace

bool markSpaceForDeletion(uint32 id) {
    closeToWriters(id);
    char name[40];
    snprintf(name, sizeof(name), "%u", id);
    CSRef<CSPath> dir = CSPath::newPath(repositoryPath(name).c_str());
    bool existed = false;
    bool made = false;
    try {
        existed = dir->exists();
        if (!existed) {
            dir->makeDir();
            made = true;
        }
        snprintf(name, sizeof(name), "%u%s", id, kToDeleteSuffix);
        dir->rename(name);
    } catch (...) {
        reopenToWriters(id);
        // The empty directory made above would otherwise look like a space that has files.
        if (made) dir->removeDir();
        throw;
    }
    SpaceDatabase::setSpaceDeleted(id);
    SpaceDatabase::spaceDeleted = true;
    // The reply tells the client the space is gone: the mark must outlive a power cut, or the
    // space would come back at the next start.
    CSSyncGroup::syncDir(hvps_system_parameters.iRepositoryPath);
    return existed;
}

void serviceSpaceDeletion() {
    if (!SpaceDatabase::spaceDeleted.exchange(false)) return;
    try {
        checkForDeletedSpaces(false);
    } catch (...) {
        SpaceDatabase::spaceDeleted = true;
        throw;
    }
}

bool checkForDeletedSpaces(bool atStartup) {
    CSThread* self = CSThread::getSelf();
    bool removed = false;
    for (;;) {
        std::string found;
        {
            std::unique_ptr<CSDirectory> listing =
                CSDirectory::newDirectory(hvps_system_parameters.iRepositoryPath.c_str());
            listing->open();
            while (listing->next()) {
                if (stopRequested()) return removed;
                if (listing->isFile() || markedSpaceID(listing->name()) == 0) continue;
                found = listing->getEntryPath();
                break;
            }
        }
        if (found.empty()) return removed;
        if (atStartup) CSL.logf(self, CSLog::Protocol, "Found directory: %s\n", found.c_str());
        deleteSpacePermanently(found.c_str(), atStartup);
        removed = true;
    }
}

void deleteSpacePermanently(const char* path, bool atStartup) {
    CSRef<CSPath> dir = CSPath::newPath(path);
    const uint32 id = markedSpaceID(dir->getNameCString());
    if (id == 0) return;
    CSL.logf(CSThread::getSelf(), CSLog::Protocol, "Deleting space %u permanently\n", id);

    // The start-up recounts the whole disk usage afterwards. Otherwise the size is kept until the
    // folder is gone, so a pass that fails half-way through the removal and is retried still
    // takes the whole space off the usage, once.
    if (!atStartup && gRemovedSizes.count(id) == 0) {
        uint64 size = SpaceDatabase::getSpaceSize(id);
        if (size == 0) size = SystemParameters::getDiskUsage(path, true);
        gRemovedSizes[id] = size;
    }
    // The record goes first (space-db is flushed): a power cut before the folder is gone leaves the
    // mark for the next start to finish. In the other order, a removal of the mark that reached
    // the disk before the record did would bring the space back.
    SpaceDatabase::deleteSpace(id);
    dir->removeDir();
    if (!atStartup) {
        SystemParameters::setDiskUsage(gRemovedSizes[id], 0);
        gRemovedSizes.erase(id);
    }
}
