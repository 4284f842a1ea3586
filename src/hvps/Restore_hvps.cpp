#include "Restore_hvps.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "CSDirectory.h"
#include "CSException.h"
#include "CSFile.h"
#include "CSLog.h"
#include "CSPath.h"
#include "CSStrUtil.h"
#include "CSSys.h"
#include "CSThread.h"
#include "CSTime.h"
#include "Space_hvps.h"
#include "config_hvps.h"

namespace {

constexpr size_t kMaxText = 100;
constexpr size_t kMaxValue = 39;

std::string repositoryFile(const char* name) { return hvps_system_parameters.iRepositoryPath + "/" + name; }

std::string spaceFile(const HVSpace* space, const char* name) {
    return hvps_system_parameters.iRepositoryPath + "/" + std::to_string(space->getSpaceID()) + "/" + name;
}

// The first 100 bytes of a file as text (up to the first NUL), or none when the file is missing.
std::optional<std::string> readText(const std::string& path) {
    if (!CSSys::sys_exists(path.c_str())) return std::nullopt;
    char text[kMaxText + 1];
    CSRef<CSFile> file = CSFile::newFile(path.c_str());
    file->openFile(CSFile::READONLY);
    size_t len = file->read(text, 0, kMaxText, 0);
    text[len] = 0;
    return std::string(text);
}

// The value of the first occurrence of `name` anywhere in the text: up to the next white space or
// the end, at most 39 characters. None when the name does not occur.
std::optional<std::string> findAttribute(const std::string& text, const char* name) {
    const char* p = strstr(text.c_str(), name);
    if (!p) return std::nullopt;
    p += strlen(name);
    size_t len = 0;
    while (p[len] && !isspace(static_cast<unsigned char>(p[len])) && len < kMaxValue) len++;
    return std::string(p, len);
}

// Writes `text` into the file in place: offset 0, then the length is cut to the text. A new file is
// created, its folder is not.
void writeInPlace(const std::string& path, const char* text, size_t len) {
    CSRef<CSFile> file = CSFile::newFile(path.c_str());
    file->openFile(CSFile::CREATE);
    file->write(text, 0, len);
    file->setEOF(len);
    file->sync();
    file->close();
}

}  // namespace

uint64 restoreIDForTime(time_t now) {
    struct tm start = {};
    start.tm_mday = 1;
    start.tm_mon = 1;
    start.tm_year = 110;
    time_t base = my_timegm(&start);
    if (now < base)
        CSException::throwException(CS_CONTEXT, CS_ERR_GENERIC_ERROR,
                                    "Recovery cannot work, current time in the past\n");
    return static_cast<uint64>(now - base);
}

uint64 getNextRestoreID() { return restoreIDForTime(time(nullptr)); }

void checkRestoreOption(bool remove) {
    std::string marker = repositoryFile("restored");
    if (!CSSys::sys_exists(marker.c_str())) return;
    if (remove) {
        CSSys::sys_removeFile(marker.c_str());
        // A marker that a power cut brings back would start yet another restore generation.
        CSSys::sys_syncDir(hvps_system_parameters.iRepositoryPath.c_str());
    } else
        hvps_system_parameters.iRestoreState = RESTORE_STATE_ANNOUNCED;
}

void saveRestoreState() {
    char text[kMaxText + 1];
    const char* word =
        hvps_system_parameters.iRestoreState == RESTORE_STATE_IN_PROGRESS ? "in-progress" : "online";
    int len = snprintf(text, sizeof(text), "id=%llu\nstate=%s\n",
                       static_cast<unsigned long long>(hvps_system_parameters.iRestoreID), word);
    std::string path = repositoryFile("restore-state");
    std::string newPath = repositoryFile("restore-state.NEW_VERSION");
    {
        CSRef<CSFile> file = CSFile::newFile(newPath.c_str());
        file->openFile(CSFile::CREATE | CSFile::TRUNCATE);
        file->write(text, 0, std::min(static_cast<size_t>(len), kMaxText));
        file->sync();
        file->close();
    }
    // The file decides whether clients must recover: replace it in one step, durably.
    CSSys::sys_rename(newPath.c_str(), path.c_str());
    CSSys::sys_syncDir(hvps_system_parameters.iRepositoryPath.c_str());
}

void loadAndSetRestoreState() {
    HVPSSystemParameters& params = hvps_system_parameters;
    CSThread* self = CSThread::getSelf();
    enum class FileClass { Missing, Online, InProgress, Unusable };

    checkRestoreOption(false);

    params.iRestoreID = 0;
    std::string path = repositoryFile("restore-state");
    FileClass fileClass = FileClass::Missing;
    uint64 fileID = 0;
    if (std::optional<std::string> text = readText(path)) {
        fileClass = FileClass::Unusable;
        std::optional<std::string> id = findAttribute(*text, "id=");
        std::optional<std::string> state = findAttribute(*text, "state=");
        if (id && state) {
            fileID = strtoull(id->c_str(), nullptr, 10);
            if (fileID != 0 && *state == "in-progress")
                fileClass = FileClass::InProgress;
            else if (fileID != 0 && *state == "online")
                fileClass = FileClass::Online;
        }
        if (fileClass == FileClass::Unusable) {
            params.iRestoreID = getNextRestoreID();
            if (params.iRestoreState != RESTORE_STATE_ANNOUNCED) {
                CSLogLock hold(CSL);
                CSL.logf(self, CSLog::Protocol,
                         text->empty() ? "The restore state file: %s, is empty\n"
                                       : "The restore state file: %s, is corrupted\n",
                         path.c_str());
                CSL.log(self, CSLog::Protocol, "HVPS will perform a full recovery just in case a restore\n");
                CSL.log(self, CSLog::Protocol, "was in progress.\n");
            }
        } else
            params.iRestoreID = fileID;
    }

    if (fileClass == FileClass::InProgress) {
        params.iRestoreState = RESTORE_STATE_IN_PROGRESS;
        CSL.log(self, CSLog::Protocol, "Restore was done and recovery was in progress, continuing process\n");
    } else if (params.iRestoreState == RESTORE_STATE_ANNOUNCED) {
        if (fileClass == FileClass::Missing)
            params.iRestoreID = getNextRestoreID();
        else if (fileClass == FileClass::Online) {
            // The new generation must differ from the one in the file; IDs count seconds, so a few
            // tenths of a second suffice unless the clock stands still.
            uint64 id = getNextRestoreID();
            for (int attempt = 0; id == fileID && attempt < 30; attempt++) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                id = getNextRestoreID();
            }
            params.iRestoreID = id == fileID ? fileID + 1 : id;
        }
        params.iRestoreState = RESTORE_STATE_IN_PROGRESS;
    } else if (fileClass == FileClass::Missing)
        params.iRestoreID = 1;
    else
        params.iRestoreState = RESTORE_STATE_ONLINE;

    if (params.iRestoreState != RESTORE_STATE_NONE) saveRestoreState();
    checkRestoreOption(true);
}

void recoverSpaces() {
    HVPSSystemParameters& params = hvps_system_parameters;
    CSThread* self = CSThread::getSelf();
    CSL.logf(self, CSLog::Protocol, "Restore ID = %llu, recovery in progress for %d spaces...\n",
             static_cast<unsigned long long>(params.iRestoreID),
             static_cast<int>(SpaceDatabase::getSpaceCount()));
    for (uint32 index = 0;; index++) {
        CSRef<HVSpace> space = SpaceDatabase::enumSpaces(index);
        if (!space) break;
        readSpaceRestoreState(space.get());
        if (space->getRestoreID() != params.iRestoreID && setCurrentSpaceRestoreState(space.get()))
            saveSpaceRestoreState(space.get());
    }
    params.iRestoreState = RESTORE_STATE_ONLINE;
    saveRestoreState();
    CSL.log(self, CSLog::Protocol, "Recovery done\n");
}

void readSpaceRestoreState(HVSpace* space) {
    if (space->getRestoreID() != 0) return;
    std::optional<std::string> text = readText(spaceFile(space, "r-state"));
    if (text && !text->empty()) {
        uint64 restoreID = space->getRestoreID();
        uint32 lastLog = space->getLastLog();
        uint64 logOffset = space->getLogOffset();
        if (auto value = findAttribute(*text, "RID=")) restoreID = strtoull(value->c_str(), nullptr, 10);
        if (auto value = findAttribute(*text, "LL="))
            lastLog = static_cast<uint32>(strtoul(value->c_str(), nullptr, 10));
        if (auto value = findAttribute(*text, "LOFFS=")) logOffset = strtoull(value->c_str(), nullptr, 10);
        if (restoreID == 0) lastLog = 0;
        space->setRestoreState(restoreID, lastLog, logOffset);
        return;
    }
    if (setCurrentSpaceRestoreState(space)) saveSpaceRestoreState(space);
}

bool setCurrentSpaceRestoreState(HVSpace* space) {
    uint64 current = hvps_system_parameters.iRestoreID;
    std::string folder = spaceFile(space, "protolog");
    bool isDir = false;
    if (!CSPath::newPath(folder.c_str())->exists(&isDir) || !isDir) {
        space->setRestoreState(current, 0, 0);
        return false;
    }

    // last.log is the log being written: its length is the offset and the next number is one past
    // the highest numbered log. Without it the highest numbered log is the last one.
    bool found = false;
    int64 max = -1;
    uint64 size = 0;
    auto dir = CSDirectory::newDirectory(folder.c_str());
    dir->open();
    while (dir->next()) {
        const char* name = dir->name();
        if (strcmp(name, "last.log") == 0) {
            found = true;
            size = dir->getSize();
        } else if (cs_ends_with(name, ".log")) {
            std::string number(name, strlen(name) - 4);
            long n = strtol(number.c_str(), nullptr, 10);
            int64 value = std::clamp<int64>(n, INT32_MIN, INT32_MAX);
            if (value > max) {
                max = value;
                if (!found) size = dir->getSize();
            }
        }
    }
    dir->close();
    int64 lastLog = found ? max + 1 : max;
    space->setRestoreState(current, static_cast<uint32>(std::max<int64>(lastLog, 0)), size);
    return true;
}

void saveSpaceRestoreState(HVSpace* space) {
    if (space->getRestoreID() == 0) return;
    char text[kMaxText + 1];
    int len = snprintf(text, sizeof(text), "RID=%llu\nLL=%u\nLOFFS=%llu\n",
                       static_cast<unsigned long long>(space->getRestoreID()), space->getLastLog(),
                       static_cast<unsigned long long>(space->getLogOffset()));
    writeInPlace(spaceFile(space, "r-state"), text, std::min(static_cast<size_t>(len), kMaxText));
}
