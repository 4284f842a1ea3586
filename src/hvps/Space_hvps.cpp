#include "Space_hvps.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string_view>

#include "CSAES.h"
#include "CSDelimited.h"
#include "CSDirectory.h"
#include "CSException.h"
#include "CSFile.h"
#include "CSLog.h"
#include "CSPath.h"
#include "CSStrUtil.h"
#include "CSStream.h"
#include "CSString.h"
#include "CSSys.h"
#include "CSThread.h"
#include "config_hvps.h"

namespace {

// The fixed AES-128 key under which the space keys are stored in space-db. It protects the keys
// against a casual reader of the file only; a space-db can be read by servers built with this value.
constexpr uint8 passcode[16] = {0x5B, 0xC1, 0x37, 0x9E, 0x02, 0xD4, 0x6A, 0xF8,
                                0x81, 0x2C, 0xE5, 0x4F, 0xB0, 0x19, 0x73, 0xAD};

constexpr const char* kSpaceDBName = "space-db";
constexpr const char* kNewVersionName = "space-db.NEW_VERSION";

std::string repositoryFile(const char* name) { return hvps_system_parameters.iRepositoryPath + "/" + name; }

// AES errors reach the caller as CSException code (AES code - 25100) with the AES text.
[[noreturn]] void throwAESError(const char* func, const char* file, int line, const CSAES& aes) {
    CSException::throwException(func, file, line, aes.getErrorCode() - 25100, aes.getErrorText());
}

// The highest space id that names an entry "<id>" or "<id>-TO_DELETE" of the repository; 0 if none.
uint32 highestSpaceFolder() {
    constexpr std::string_view kMarked = "-TO_DELETE";
    uint32 highest = 0;
    std::unique_ptr<CSDirectory> listing =
        CSDirectory::newDirectory(hvps_system_parameters.iRepositoryPath.c_str());
    listing->open();
    while (listing->next()) {
        std::string_view name = listing->name();
        if (name.ends_with(kMarked)) name.remove_suffix(kMarked.size());
        uint32 id = 0;
        if (parseSpaceID(name, &id) && id > highest) highest = id;
    }
    return highest;
}

}  // namespace

bool parseSpaceID(std::string_view text, uint32* id) {
    if (text.empty() || text.size() > 10 || (text[0] == '0' && text.size() > 1)) return false;
    uint64 value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        value = value * 10 + static_cast<uint64>(ch - '0');
    }
    if (value > std::numeric_limits<uint32>::max()) return false;
    *id = static_cast<uint32>(value);
    return true;
}

CSLock SpaceDatabase::iSpaceDBLock;
std::atomic<bool> SpaceDatabase::spaceDeleted{false};
std::map<uint32, CSRef<HVSpace>> SpaceDatabase::iSpaces;
uint32 SpaceDatabase::iMaxSpaceID = 0;

// ---------------------------------------------------------------------------------------------
// HVSpace

void HVSpace::setKey(const uint8* key) { memcpy(iKey, key, kKeySize); }

void HVSpace::getHexKey(char* out) const { cs_bin_to_hex(kHexKeySize, out, kKeySize, iKey); }

void HVSpace::encryptKey(char* out) const {
    unsigned char message[kKeySize + CSAES::kMessageOverhead];
    CSAESBuffer aes;
    if (!aes.aes_encrypt_data(passcode, sizeof(passcode), iKey, kKeySize, message, sizeof(message)))
        throwAESError(CS_CONTEXT, aes);
    cs_bin_to_hex(kKeyTextSize, out, aes.getOutputLength(), message);
}

void HVSpace::decryptKey(const char* hex) {
    unsigned char message[100];
    size_t len = cs_hex_to_bin(sizeof(message), message, hex);
    uint8 key[kKeySize] = {};
    CSAESBuffer aes;
    if (!aes.aes_decrypt_data(passcode, sizeof(passcode), message, static_cast<int>(len), key, kKeySize)) {
        CSThread* self = CSThread::getSelf();
        {
            CSLogLock hold(CSL);
            CSL.log(self, CSLog::Error, "An error occurred while decypting space key in the\n");
            CSL.log(self, CSLog::Error, "Space Database (space-db file)\n");
        }
        throwAESError(CS_CONTEXT, aes);
    }
    setKey(key);
}

void HVSpace::setRestoreState(uint64 restoreID, uint32 lastLog, uint64 logOffset) {
    iLastLog.store(lastLog);
    iLogOffset.store(logOffset);
    iRestoreID.store(restoreID);
}

// ---------------------------------------------------------------------------------------------
// The line buffer: one load or save of space-db, line by line.

class SpaceDatabase::LineBuffer : public CSTabDelimited {
public:
    explicit LineBuffer(std::string path) : iPath(std::move(path)) {}

    // Reading. Only lines this server writes are accepted: a space line (id, title, key text) or
    // the trailer (id and two empty fields); blank lines are skipped. Anything else means the file
    // is damaged, and a table read from it in part would hand the ids of lost spaces out again, so
    // the load stops. Every line raises iMaxSpaceID, the trailer too.
    void setValue(int column, CSRef<CSString> value) override {
        iFields = column + 1;
        switch (column) {
            case 0:
                if (!parseSpaceID(std::string_view(value->getCString(), value->length()), &iID))
                    damaged("the space id is not a decimal number");
                if (iID > iMaxSpaceID) iMaxSpaceID = iID;
                break;
            case 1:
                iTitle.assign(value->getCString(), value->length());
                break;
            case 2:
                if (value->length() >= sizeof(iKeyText)) damaged("the key text is too long");
                cs_strcpy(sizeof(iKeyText), iKeyText, value->getCString());
                break;
            default:
                CSException::throwExceptionf(CS_CONTEXT, CS_ERR_GENERIC_ERROR,
                                             "Too many fields in space database: %s", iPath.c_str());
        }
    }

    // A later line with the same id replaces an earlier one.
    void setEOL() override {
        if (iFields != 0 && iFields != 3) damaged("a line has fewer than 3 fields");
        if (iKeyText[0]) {
            if (iID == 0) damaged("space id 0");
            auto space = cs_new<HVSpace>(iID, std::move(iTitle));
            space->decryptKey(iKeyText);
            iSpaces[iID] = std::move(space);
        } else if (!iTitle.empty()) {
            damaged("a space line has no key");
        }
        iLine++;
        iFields = 0;
        iID = 0;
        iTitle.clear();
        iKeyText[0] = 0;
    }

    // Writing: one line per record in ascending id order, then the trailer line carrying
    // iMaxSpaceID with empty title and key fields.
    bool nextLine(unsigned int line) override {
        if (line < iSpaces.size()) {
            if (line == 0) iNext = iSpaces.begin();
            HVSpace* space = iNext->second.get();
            ++iNext;
            iID = space->getSpaceID();
            iTitlePtr = &space->getTitle();
            space->encryptKey(iKeyText);
            return true;
        }
        if (line == iSpaces.size()) {
            iID = iMaxSpaceID;
            iTitlePtr = nullptr;
            iKeyText[0] = 0;
            return true;
        }
        return false;
    }

    const char* getValue(int column) override {
        switch (column) {
            case 0:
                snprintf(iIDText, sizeof(iIDText), "%u", iID);
                return iIDText;
            case 1:
                return iTitlePtr && hvps_system_parameters.iStoreSpaceTitles ? iTitlePtr->c_str() : "";
            case 2:
                return iKeyText;
            default:
                return nullptr;
        }
    }

private:
    [[noreturn]] void damaged(const char* what) const {
        CSException::throwExceptionf(CS_CONTEXT, CS_ERR_GENERIC_ERROR,
                                     "Space database %s is damaged at line %u: %s", iPath.c_str(), iLine + 1,
                                     what);
    }

    std::string iPath;
    uint32 iLine = 0;  // lines read before the current one
    int iFields = 0;   // fields of the current line so far
    uint32 iID = 0;
    std::string iTitle;
    const std::string* iTitlePtr = nullptr;  // borrowed from the record being written
    std::map<uint32, CSRef<HVSpace>>::const_iterator iNext;
    char iKeyText[HVSpace::kKeyTextSize] = {};
    char iIDText[40] = {};
};

// ---------------------------------------------------------------------------------------------
// Loading, saving, freeing

void loadSpaces() {
    CSThread* self = CSThread::getSelf();
    std::string dbPath = repositoryFile(kSpaceDBName);
    std::string newPath = repositoryFile(kNewVersionName);

    freeSpaces();

    // Repair an interrupted save: a complete space-db wins over a new version that may be partial;
    // a new version alone is complete (it is only renamed once written and flushed).
    if (CSSys::sys_exists(newPath.c_str())) {
        if (CSSys::sys_exists(dbPath.c_str()))
            CSSys::sys_removeFile(newPath.c_str());
        else
            CSSys::sys_rename(newPath.c_str(), dbPath.c_str());
    }

    if (!CSSys::sys_exists(dbPath.c_str())) {
        CSLogLock hold(CSL);
        CSL.logf(self, CSLog::Error, "Cannot find Space Database file: '%s'\n", dbPath.c_str());
        CSL.log(self, CSLog::Protocol, "Please check the repository-path system parameter.\n");
        CSL.log(self, CSLog::Protocol, "If correct then create an empty file called 'space-db'\n");
        CSL.log(self, CSLog::Protocol, "in this location.\n");
    }

    CSRef<CSFile> file = CSFile::newFile(dbPath.c_str());
    file->openFile(CSFile::READONLY);
    std::lock_guard<CSLock> hold(SpaceDatabase::iSpaceDBLock);
    SpaceDatabase::LineBuffer lines(dbPath);
    try {
        lines.load(CSBufferedInputStream::newStream(CSFileInputStream::newStream(file)));
    } catch (...) {
        freeSpaces();
        throw;
    }

    // A folder of a space, or of one waiting for deletion, may outlive its line (a space-db emptied
    // or restored from an older copy). A new space must never be handed such a folder's files, so
    // ids are only given out above the highest of them.
    const uint32 highest = highestSpaceFolder();
    if (highest > SpaceDatabase::iMaxSpaceID) {
        CSL.logf(self, CSLog::Warning,
                 "Space folders up to id %u exist, above the highest id of the space database (%u): "
                 "new spaces get ids above %u\n",
                 highest, SpaceDatabase::iMaxSpaceID, highest);
        SpaceDatabase::iMaxSpaceID = highest;
    }
}

void saveSpaces() {
    std::lock_guard<CSLock> hold(SpaceDatabase::iSpaceDBLock);
    std::string dbPath = repositoryFile(kSpaceDBName);
    std::string newPath = repositoryFile(kNewVersionName);

    {
        CSRef<CSFile> file = CSFile::newFile(newPath.c_str());
        file->openFile(CSFile::CREATE | CSFile::TRUNCATE);
        SpaceDatabase::LineBuffer lines(newPath);
        lines.save(CSBufferedOutputStream::newStream(CSFileOutputStream::newStream(file)), 3);
        file->sync();
        file->close();
    }
    // One atomic rename: space-db is at every moment either the old or the new complete table.
    CSSys::sys_rename(newPath.c_str(), dbPath.c_str());
    CSSys::sys_syncDir(hvps_system_parameters.iRepositoryPath.c_str());
}

void freeSpaces() {
    std::lock_guard<CSLock> hold(SpaceDatabase::iSpaceDBLock);
    SpaceDatabase::iSpaces.clear();
    SpaceDatabase::iMaxSpaceID = 0;
}

// ---------------------------------------------------------------------------------------------
// Table operations

CSRef<HVSpace> SpaceDatabase::get(uint32 id) {
    std::lock_guard<CSLock> hold(iSpaceDBLock);
    auto it = iSpaces.find(id);
    return it == iSpaces.end() ? CSRef<HVSpace>() : it->second;
}

CSRef<HVSpace> findSpace(uint32 id) { return SpaceDatabase::get(id); }

CSRef<HVSpace> SpaceDatabase::enumSpaces(uint32 index) {
    std::lock_guard<CSLock> hold(iSpaceDBLock);
    if (index >= iSpaces.size()) return {};
    return std::next(iSpaces.begin(), index)->second;
}

uint32 SpaceDatabase::getSpaceCount() {
    std::lock_guard<CSLock> hold(iSpaceDBLock);
    return static_cast<uint32>(iSpaces.size());
}

uint32 SpaceDatabase::getMaxSpaceID() {
    std::lock_guard<CSLock> hold(iSpaceDBLock);
    return iMaxSpaceID;
}

void SpaceDatabase::createSpace(const char* title, uint32* id, char* hexKey) {
    // The file has no escapes: a TAB, CR or LF in a title would split the line.
    std::string cleanTitle = title ? title : "";
    for (char& ch : cleanTitle)
        if (ch == '\t' || ch == '\r' || ch == '\n') ch = ' ';

    std::lock_guard<CSLock> hold(iSpaceDBLock);
    if (iMaxSpaceID == std::numeric_limits<uint32>::max())
        CSException::throwExceptionf(CS_CONTEXT, CS_ERR_GENERIC_ERROR,
                                     "Cannot create space: all space ids up to %u have been used",
                                     iMaxSpaceID);
    uint8 key[HVSpace::kKeySize];
    CSAES::aes_fillrand(key, sizeof(key));
    auto space = cs_new<HVSpace>(iMaxSpaceID + 1, std::move(cleanTitle));
    space->setKey(key);
    iMaxSpaceID = space->getSpaceID();
    *id = space->getSpaceID();
    space->getHexKey(hexKey);
    iSpaces[*id] = std::move(space);
    saveSpaces();
}

void createSpace(const char* title, uint32* id, char* hexKey) {
    SpaceDatabase::createSpace(title, id, hexKey);
}

void SpaceDatabase::deleteSpace(uint32 id) {
    std::lock_guard<CSLock> hold(iSpaceDBLock);
    auto it = iSpaces.find(id);
    if (it == iSpaces.end()) return;
    it->second->setStatusBits(HVSpace::kStatusDeleted);
    iSpaces.erase(it);
    saveSpaces();
}

void SpaceDatabase::setSpaceDeleted(uint32 id) {
    std::lock_guard<CSLock> hold(iSpaceDBLock);
    auto it = iSpaces.find(id);
    if (it != iSpaces.end()) it->second->setStatusBits(HVSpace::kStatusDeleted);
}

uint64 SpaceDatabase::getSpaceSize(uint32 id) {
    std::lock_guard<CSLock> hold(iSpaceDBLock);
    auto it = iSpaces.find(id);
    return it == iSpaces.end() ? 0 : it->second->iSpaceSize;
}

void SpaceDatabase::setSpaceSize(uint32 id, uint64 size) {
    std::lock_guard<CSLock> hold(iSpaceDBLock);
    auto it = iSpaces.find(id);
    if (it != iSpaces.end()) it->second->iSpaceSize = size;
}
