// The upload journal: makes an upload that a process crash interrupts undoable at the next start.
// A failed upload is undone by the request handler itself, but a killed process runs no clean-up,
// and an append cut short would leave a torn record in the file that the next append buries.
// So, before an upload writes its first byte, the handler notes the file and the length to cut
// back to in a journal file of its own ("upload-journal-<n>" in the repository directory), and
// clears the note when the upload has ended, successfully or undone. An upload that writes inside
// the file first keeps the bytes it is about to overwrite in "upload-journal-<n>.kept" (fsynced
// before they are overwritten), so undoing it puts them back. At start-up, recover() undoes every
// upload still noted, and tells whether the stored disk usage is stale. Without sync-uploads the
// note itself is written without flushes: it guards against process crashes, whose writes the
// kernel keeps; each upload costs two small pwrites. With sync-uploads it guards against power cuts
// too: a note is on disk before the upload's first byte may be, and a clear only once the file it
// covers is (the caller flushes the file first). The journal file is opened once per handler
// thread. Thread safety: each thread writes only its own journal files; recover() runs at start-up
// before any handler exists.
#pragma once

#include <string>

#include "CSDefs.h"

class CSFile;

class UploadJournal {
public:
    static constexpr const char* kFilePrefix = "upload-journal-";
    // Present in the repository directory from start-up to a clean stop.
    static constexpr const char* kRunMarker = "hvpsd-running";

    // At start-up, before the disk usage is loaded. Undoes every upload that a journal in
    // `repositoryPath` notes: puts kept bytes back and cuts the file back to its noted length (files
    // already that short, and missing files, are not cut). Removes the journals and sets the run
    // marker. A note that names anything but a file inside an existing space folder ("<id>/...",
    // without "." or ".." components and without symbolic links) is logged and ignored. Returns
    // true when the stored disk usage cannot be trusted and must be recounted: a file was cut back,
    // or the previous run ended without a clean stop (the disk usage is saved only once a second).
    static bool recover(const std::string& repositoryPath);
    // At a clean stop, after the final disk usage has been saved: removes the run marker.
    static void cleanStop(const std::string& repositoryPath);
};

// Notes, for the life of the object, that `path` (a file of the repository hvps_system_parameters
// names) is being written and must be undone should the process die: its bytes from `keepFrom` to
// `keepEnd` (the part of the file the upload overwrites; none when they are equal) put back from the
// kept copy, and the file cut back to `length` bytes. Declare it before the guard that undoes a failed
// upload, so that the note outlives that guard. Raises the file error of the journal when the note
// cannot be written (nothing has been written then). Used by one thread.
class UploadJournalEntry {
public:
    // Kept bytes are copied in pieces of at most this many, each fsynced before it is overwritten.
    static constexpr uint64 kKeepBatch = 4 << 20;

    UploadJournalEntry(const char* path, uint64 length, uint64 keepFrom, uint64 keepEnd);
    // Clears the note unless clear() did.
    ~UploadJournalEntry();
    UploadJournalEntry(const UploadJournalEntry&) = delete;
    UploadJournalEntry& operator=(const UploadJournalEntry&) = delete;

    // Call before the bytes of `file` below `end` are written: keeps those of the overwritten part
    // that are not kept yet.
    void keepBefore(CSFile* file, uint64 end);
    // Undoes the upload in `file`: puts the kept bytes back and cuts it back to the noted length.
    void undo(CSFile* file);
    // Clears the note once the upload's bytes, or its undoing, are on disk; raises when the clear
    // cannot be written (or, with sync-uploads, flushed).
    void clear();

private:
    uint64 iLength;
    uint64 iKeepFrom;
    uint64 iKeepEnd;
    uint64 iKept = 0;  // bytes from iKeepFrom on that are in the kept copy
    bool iCleared = false;
};
