#include "UploadJournal_hvps.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "CSDirectory.h"
#include "CSException.h"
#include "CSFile.h"
#include "CSLog.h"
#include "CSPath.h"
#include "CSThread.h"
#include "config_hvps.h"

// A journal file holds one line at offset 0: "<start>\t<path relative to the repository>\n" while
// an upload runs; a clear writes a lone "\n" over its first byte. Bytes after the first line end are
// left over from longer notes and mean nothing.

namespace {

// Journal numbers in use by living threads; a thread's number is reused after it ends.
std::mutex gSlotLock;
std::set<uint32> gSlotsInUse;

uint32 takeSlot() {
    std::lock_guard<std::mutex> hold(gSlotLock);
    uint32 n = 0;
    while (gSlotsInUse.count(n)) n++;
    gSlotsInUse.insert(n);
    return n;
}

void giveSlot(uint32 n) {
    std::lock_guard<std::mutex> hold(gSlotLock);
    gSlotsInUse.erase(n);
}

// The calling thread's journal file, opened at its first upload and closed when the thread ends.
class ThreadJournal {
public:
    ~ThreadJournal() {
        if (!iFile) return;
        try {
            iFile->close();
        } catch (const CSException&) {
            // Nothing is lost: the note is clear whenever no upload runs.
        }
        giveSlot(iSlot);
    }

    CSFile* file() {
        if (!iFile) {
            uint32 slot = takeSlot();
            try {
                std::string path = hvps_system_parameters.iRepositoryPath + "/" + UploadJournal::kFilePrefix +
                                   std::to_string(slot);
                CSRef<CSFile> file = CSFile::newFile(path.c_str());
                file->openFile(CSFile::CREATE);
                iFile = std::move(file);
                iSlot = slot;
            } catch (...) {
                giveSlot(slot);
                throw;
            }
        }
        return iFile.get();
    }

private:
    CSRef<CSFile> iFile;
    uint32 iSlot = 0;
};

thread_local ThreadJournal tJournal;

// A noted path: relative, and with no ".." component.
bool insideRepository(const std::string& path) {
    if (path.empty() || path[0] == '/') return false;
    size_t start = 0;
    for (;;) {
        size_t end = path.find('/', start);
        if (path.compare(start, end == std::string::npos ? std::string::npos : end - start, "..") == 0)
            return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

}  // namespace

UploadJournalEntry::UploadJournalEntry(const char* path, uint64 start) {
    const std::string& repository = hvps_system_parameters.iRepositoryPath;
    std::string relative = path;
    if (relative.compare(0, repository.size(), repository) == 0 && relative.size() > repository.size() &&
        relative[repository.size()] == '/')
        relative.erase(0, repository.size() + 1);
    char number[24];
    snprintf(number, sizeof(number), "%" PRIu64 "\t", start);
    std::string note = number + relative + "\n";
    tJournal.file()->write(note.data(), 0, note.size());
}

UploadJournalEntry::~UploadJournalEntry() {
    try {
        tJournal.file()->write("\n", 0, 1);
    } catch (const CSException& e) {
        // The upload has ended either way; at worst the next start cuts a finished file back to
        // where this upload began, which only an unacknowledged upload can have left.
        e.log(CSThread::getSelf());
    }
}

bool UploadJournal::recover(const std::string& repositoryPath) {
    CSThread* self = CSThread::getSelf();
    std::vector<std::string> journals;
    {
        auto dir = CSDirectory::newDirectory(repositoryPath.c_str());
        dir->open();
        while (dir->next())
            if (dir->isFile() && strncmp(dir->name(), kFilePrefix, strlen(kFilePrefix)) == 0)
                journals.push_back(repositoryPath + "/" + dir->name());
    }

    uint32 cut = 0;
    for (const std::string& journal : journals) {
        std::string note;
        {
            CSRef<CSFile> file = CSFile::newFile(journal.c_str());
            file->openFile(CSFile::READONLY);
            char buffer[4096];
            size_t n = file->read(buffer, 0, sizeof(buffer), 0);
            note.assign(buffer, n);
        }
        note = note.substr(0, note.find('\n'));
        size_t tab = note.find('\t');
        if (!note.empty() && tab != std::string::npos && tab > 0) {
            char* end = nullptr;
            uint64 start = strtoull(note.c_str(), &end, 10);
            std::string relative = note.substr(tab + 1);
            if (end != note.c_str() + tab || !insideRepository(relative)) {
                CSL.logf(self, CSLog::Warning, "Ignoring a malformed upload journal note in %s\n",
                         journal.c_str());
            } else {
                std::string target = repositoryPath + "/" + relative;
                CSRef<CSPath> path = CSPath::newPath(target.c_str());
                bool isDir = false;
                if (path->exists(&isDir) && !isDir && path->getSize() > start) {
                    CSRef<CSFile> file = CSFile::newFile(target.c_str());
                    file->openFile(CSFile::DEFAULT);
                    file->setEOF(start);
                    file->close();
                    CSL.logf(self, CSLog::Warning,
                             "Cut %s back to %" PRIu64 " bytes: its upload was interrupted\n", target.c_str(),
                             start);
                    cut++;
                }
            }
        }
        CSPath::newPath(journal.c_str())->removeFile();
    }

    CSRef<CSPath> marker = CSPath::newPath((repositoryPath + "/" + kRunMarker).c_str());
    const bool unclean = marker->exists();
    if (unclean) CSL.log(self, CSLog::Warning, "The server did not stop cleanly last time\n");
    marker->touch();
    return unclean || cut > 0;
}

void UploadJournal::cleanStop(const std::string& repositoryPath) {
    CSPath::newPath((repositoryPath + "/" + kRunMarker).c_str())->removeFile();
}
