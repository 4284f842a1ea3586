#include "UploadJournal_hvps.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "CSDirectory.h"
#include "CSException.h"
#include "CSFile.h"
#include "CSLog.h"
#include "CSPath.h"
#include "CSSyncGroup.h"
#include "CSSys.h"
#include "CSThread.h"
#include "Session_hvps.h"
#include "config_hvps.h"

// A journal file holds one line at offset 0 while an upload runs: "<length>\t<path>\n", or
// "<length>@<keep from>\t<path>\n" for an upload that writes inside the file, whose kept copy holds
// the file's bytes from <keep from> on (as many as it has); the path is relative to the repository.
// A clear writes a lone "\n" over its first byte. Bytes after the first line end are left over from
// longer notes and mean nothing.

namespace {

constexpr size_t kCopySize = 65536;
constexpr const char* kKeptSuffix = ".kept";

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

// The calling thread's journal file and kept copy, opened at first use and closed when the thread
// ends.
class ThreadJournal {
public:
    ~ThreadJournal() {
        for (CSRef<CSFile>* file : {&iFile, &iKept}) {
            if (!*file) continue;
            try {
                (*file)->close();
            } catch (const CSException&) {
                // Nothing is lost: the note is clear whenever no upload runs.
            }
        }
        if (iHaveSlot) giveSlot(iSlot);
    }

    CSFile* file() {
        if (!iFile) iFile = open("");
        return iFile.get();
    }
    CSFile* kept() {
        if (!iKept) iKept = open(kKeptSuffix);
        return iKept.get();
    }

    // The kept copy may hold bytes on disk that a power cut would bring back: some were written
    // since it was last cut back with a flush (a clear() cuts it back without one). True at first,
    // for a copy that an earlier clean-up failed to remove.
    bool iKeptMayHoldBytes = true;

private:
    CSRef<CSFile> open(const char* suffix) {
        if (!iHaveSlot) {
            iSlot = takeSlot();
            iHaveSlot = true;
        }
        std::string path = hvps_system_parameters.iRepositoryPath + "/" + UploadJournal::kFilePrefix +
                           std::to_string(iSlot) + suffix;
        CSRef<CSFile> file = CSFile::newFile(path.c_str());
        file->openFile(CSFile::CREATE);
        // A note in a file whose name is not on disk would be lost with the power.
        if (hvps_system_parameters.iSyncUploads) CSSyncGroup::syncDir(hvps_system_parameters.iRepositoryPath);
        return file;
    }

    CSRef<CSFile> iFile;
    CSRef<CSFile> iKept;
    uint32 iSlot = 0;
    bool iHaveSlot = false;
};

thread_local ThreadJournal tJournal;

// Copies `size` bytes from `src` at srcOffset to `dst` at dstOffset; a source that ends early
// raises the end-of-file error.
void copyBytes(CSFile* dst, uint64 dstOffset, CSFile* src, uint64 srcOffset, uint64 size) {
    auto buffer = std::make_unique_for_overwrite<char[]>(kCopySize);
    if (!CSFile::transfer(dst, dstOffset, src, srcOffset, size, buffer.get(), kCopySize))
        CSException::throwEOFError(CS_CONTEXT, src->getPathCString());
}

struct Note {
    uint64 length = 0;
    std::optional<uint64> keepFrom;
    std::string relative;
};

bool parseNumber(const std::string& text, size_t from, size_t to, uint64* value) {
    return from < to && hvps_parse_decimal(text.substr(from, to - from).c_str(), value);
}

// The first line of a journal; false when it is no note (a cleared or malformed one).
bool parseNote(const std::string& line, Note* note) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) return false;
    const size_t at = line.find('@');
    uint64 keepFrom = 0;
    if (at < tab) {
        if (!parseNumber(line, 0, at, &note->length) || !parseNumber(line, at + 1, tab, &keepFrom))
            return false;
        note->keepFrom = keepFrom;
    } else if (!parseNumber(line, 0, tab, &note->length)) {
        return false;
    }
    note->relative = line.substr(tab + 1);
    return true;
}

// A noted path must name a file inside an existing space folder: "<id>/..." with a decimal id, no
// empty, "." or ".." component, and no symbolic link on the way (a link could lead to the
// repository's own files or out of it).
bool isSpaceFile(const std::string& repositoryPath, const std::string& relative) {
    const size_t slash = relative.find('/');
    if (slash == std::string::npos || slash == 0 || relative[0] == '0') return false;
    for (size_t i = 0; i < slash; i++)
        if (relative[i] < '0' || relative[i] > '9') return false;
    for (size_t start = 0;;) {
        const size_t end = relative.find('/', start);
        const std::string_view name =
            std::string_view(relative).substr(start, end == std::string::npos ? end : end - start);
        if (name.empty() || name == "." || name == "..") return false;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    bool isDir = false;
    return CSPath::newPath((repositoryPath + "/" + relative.substr(0, slash)).c_str())->exists(&isDir) &&
           isDir && !CSSys::sys_hasLinkBelow(repositoryPath.c_str(), relative.c_str());
}

// Undoes the upload a note describes; true when the file changed.
bool undoNoted(const std::string& repositoryPath, const std::string& journal, const Note& note) {
    CSThread* self = CSThread::getSelf();
    const std::string target = repositoryPath + "/" + note.relative;
    CSRef<CSPath> path = CSPath::newPath(target.c_str());
    bool isDir = false;
    if (!path->exists(&isDir) || isDir) return false;
    CSRef<CSFile> file = CSFile::newFile(target.c_str());
    file->openFile(CSFile::DEFAULT);
    bool changed = false;
    const std::string keptPath = journal + kKeptSuffix;
    if (note.keepFrom && CSSys::sys_exists(keptPath.c_str())) {
        CSRef<CSFile> kept = CSFile::newFile(keptPath.c_str());
        kept->openFile(CSFile::READONLY);
        const uint64 size = kept->getEOF();
        if (size > 0) {
            copyBytes(file.get(), *note.keepFrom, kept.get(), 0, size);
            CSL.logf(self, CSLog::Warning,
                     "Put %" PRIu64 " bytes of %s back at %" PRIu64 ": its upload was interrupted\n", size,
                     target.c_str(), *note.keepFrom);
            changed = true;
        }
    }
    if (file->getEOF() > note.length) {
        file->setEOF(note.length);
        CSL.logf(self, CSLog::Warning, "Cut %s back to %" PRIu64 " bytes: its upload was interrupted\n",
                 target.c_str(), note.length);
        changed = true;
    }
    // On disk before the journal that asked for it is removed.
    if (changed) file->sync();
    file->close();
    return changed;
}

}  // namespace

UploadJournalEntry::UploadJournalEntry(const char* path, uint64 length, uint64 keepFrom, uint64 keepEnd)
    : iLength(length), iKeepFrom(keepFrom), iKeepEnd(std::max(keepFrom, keepEnd)) {
    const std::string& repository = hvps_system_parameters.iRepositoryPath;
    std::string relative = path;
    if (relative.compare(0, repository.size(), repository) == 0 && relative.size() > repository.size() &&
        relative[repository.size()] == '/')
        relative.erase(0, repository.size() + 1);
    char number[48];
    if (iKeepEnd > iKeepFrom) {
        // A copy left over from an earlier upload must not be taken for this one's, also after a
        // power cut: with sync-uploads it is cut back on disk before the note naming it may be.
        if (tJournal.iKeptMayHoldBytes) {
            CSFile* kept = tJournal.kept();
            kept->setEOF(0);
            if (hvps_system_parameters.iSyncUploads) kept->sync();
            tJournal.iKeptMayHoldBytes = false;
        }
        snprintf(number, sizeof(number), "%" PRIu64 "@%" PRIu64 "\t", length, keepFrom);
    } else {
        snprintf(number, sizeof(number), "%" PRIu64 "\t", length);
    }
    std::string note = number + relative + "\n";
    CSFile* file = tJournal.file();
    file->write(note.data(), 0, note.size());
    if (!hvps_system_parameters.iSyncUploads) return;
    try {
        file->datasync();
    } catch (const CSException&) {
        // The upload fails before its first byte; a note left standing could later undo the
        // acknowledged uploads of other threads to the same file.
        file->write("\n", 0, 1);
        throw;
    }
}

void UploadJournalEntry::clear() {
    CSFile* file = tJournal.file();
    file->write("\n", 0, 1);
    if (hvps_system_parameters.iSyncUploads) file->datasync();
    iCleared = true;
    if (iKept > 0) tJournal.kept()->setEOF(0);
}

UploadJournalEntry::~UploadJournalEntry() {
    if (iCleared) return;
    try {
        clear();
    } catch (const CSException& e) {
        // The upload has ended either way; at worst the next start undoes a finished upload, which
        // only an unacknowledged one can have left.
        e.log(CSThread::getSelf());
    }
}

void UploadJournalEntry::keepBefore(CSFile* file, uint64 end) {
    const uint64 needed = std::min(end, iKeepEnd);
    const uint64 from = iKeepFrom + iKept;
    if (from >= needed) return;
    const uint64 upTo = std::min(iKeepEnd, std::max(needed, from + kKeepBatch));
    CSFile* kept = tJournal.kept();
    tJournal.iKeptMayHoldBytes = true;
    copyBytes(kept, iKept, file, from, upTo - from);
    kept->sync();
    iKept = upTo - iKeepFrom;
}

void UploadJournalEntry::undo(CSFile* file) {
    if (iKept > 0) copyBytes(file, iKeepFrom, tJournal.kept(), 0, iKept);
    file->setEOF(iLength);
}

bool UploadJournal::recover(const std::string& repositoryPath) {
    CSThread* self = CSThread::getSelf();
    std::vector<std::string> journals;
    std::vector<std::string> leftovers;
    {
        auto dir = CSDirectory::newDirectory(repositoryPath.c_str());
        dir->open();
        const size_t prefix = strlen(kFilePrefix);
        while (dir->next()) {
            const char* name = dir->name();
            if (!dir->isFile() || strncmp(name, kFilePrefix, prefix) != 0) continue;
            const bool journal =
                name[prefix] != 0 && strspn(name + prefix, "0123456789") == strlen(name + prefix);
            (journal ? journals : leftovers).push_back(repositoryPath + "/" + name);
        }
    }

    uint32 undone = 0;
    for (const std::string& journal : journals) {
        std::string line;
        {
            CSRef<CSFile> file = CSFile::newFile(journal.c_str());
            file->openFile(CSFile::READONLY);
            char buffer[4096];
            size_t n = file->read(buffer, 0, sizeof(buffer), 0);
            line.assign(buffer, n);
        }
        line = line.substr(0, line.find('\n'));
        Note note;
        if (line.empty()) {
            // Cleared: the upload ended.
        } else if (!parseNote(line, &note)) {
            CSL.logf(self, CSLog::Warning, "Ignoring a malformed upload journal note in %s\n",
                     journal.c_str());
        } else if (!isSpaceFile(repositoryPath, note.relative)) {
            CSL.logf(self, CSLog::Warning,
                     "Ignoring an upload journal note in %s: it names no file of a space folder\n",
                     journal.c_str());
        } else if (undoNoted(repositoryPath, journal, note)) {
            undone++;
        }
        CSPath::newPath((journal + kKeptSuffix).c_str())->removeFile();
        CSPath::newPath(journal.c_str())->removeFile();
    }
    for (const std::string& leftover : leftovers) CSPath::newPath(leftover.c_str())->removeFile();

    CSRef<CSPath> marker = CSPath::newPath((repositoryPath + "/" + kRunMarker).c_str());
    const bool unclean = marker->exists();
    if (unclean) CSL.log(self, CSLog::Warning, "The server did not stop cleanly last time\n");
    marker->touch();
    // A marker lost with the power would make the next start trust a stale disk usage.
    CSSys::sys_syncDir(repositoryPath.c_str());
    return unclean || undone > 0;
}

void UploadJournal::cleanStop(const std::string& repositoryPath) {
    CSPath::newPath((repositoryPath + "/" + kRunMarker).c_str())->removeFile();
}
