// The upload journal: makes an upload that a process crash interrupts undoable at the next start.
// A failed upload is cut back by the request handler itself, but a killed process runs no clean-up,
// and an append cut short would leave a torn record in the file that the next append buries.
// So, before an upload writes its first byte, the handler notes the file and the length to cut
// back to in a journal file of its own ("upload-journal-<n>" in the repository directory), and
// clears the note when the upload has ended, successfully or cut back. At start-up, recover()
// cuts back every file still noted, and tells whether the stored disk usage is stale. The journal is written
// without fsync: it guards against process crashes, whose writes the kernel keeps; each upload costs two
// small pwrites, and the journal file is opened once per handler thread. Thread safety: each thread writes
// only its own journal file; recover() runs at start-up before any handler exists.
#pragma once

#include <string>

#include "CSDefs.h"

class UploadJournal {
public:
    static constexpr const char* kFilePrefix = "upload-journal-";
    // Present in the repository directory from start-up to a clean stop.
    static constexpr const char* kRunMarker = "hvpsd-running";

    // At start-up, before the disk usage is loaded. Cuts every file that a journal in
    // `repositoryPath` notes as being written back to its noted length (files already that short,
    // and missing files, are left alone), removes the journals and sets the run marker. A note that
    // names a path outside the repository is ignored. Returns true when the stored disk usage
    // cannot be trusted and must be recounted: a file was cut back, or the previous run ended
    // without a clean stop (the disk usage is saved only once a second).
    static bool recover(const std::string& repositoryPath);
    // At a clean stop, after the final disk usage has been saved: removes the run marker.
    static void cleanStop(const std::string& repositoryPath);
};

// Notes, for the life of the object, that `path` (a file of the repository hvps_system_parameters
// names) is being written and must be cut back to `start` bytes should the process die. Declare it
// before the guard that cuts a failed upload back, so that the note outlives that guard. Raises
// the file error of the journal when the note cannot be written (nothing has been written then).
class UploadJournalEntry {
public:
    UploadJournalEntry(const char* path, uint64 start);
    ~UploadJournalEntry();
    UploadJournalEntry(const UploadJournalEntry&) = delete;
    UploadJournalEntry& operator=(const UploadJournalEntry&) = delete;
};
