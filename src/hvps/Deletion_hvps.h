// Two-stage deletion of spaces. A client's delete command only marks the space: its directory is
// renamed to "<id>-TO_DELETE" and the record gets the deleted status bit, so the space is unusable
// at once. The main thread's once-a-second pass, and every start-up, then remove the marked
// directories, correct the disk usage and drop the records from space-db.
// markSpaceForDeletion runs in connection-handler threads, the passes in the main thread; the
// table operations take the space database lock, and the flag SpaceDatabase::spaceDeleted hands
// the work over (a mark that races with a pass is found by the pass's full listing or the next one).
#pragma once

#include "CSDefs.h"

// Suffix of a space directory that waits for removal.
constexpr const char* kToDeleteSuffix = "-TO_DELETE";

// Held by every request that changes files of a space (an upload, REMOVE, RENAME) from before it
// touches the space's directory until it has adjusted the disk usage. The mark of a space waits
// until no such request runs and refuses new ones from then on, so the deletion takes off the
// usage exactly the bytes the directory holds. Raises -25013 "Space %u has been disabled" when
// the space is being or has been marked. Thread-safe.
class SpaceWriter {
public:
    explicit SpaceWriter(uint32 id);
    ~SpaceWriter();
    SpaceWriter(const SpaceWriter&) = delete;
    SpaceWriter& operator=(const SpaceWriter&) = delete;

private:
    uint32 iID;
};

// Renames the directory of space `id` to "<id>-TO_DELETE" (creating it empty first when the space
// has none yet), sets the record's deleted bit and asks for a pass. True when the directory existed.
// Waits first for the requests that hold a SpaceWriter of the space to end.
// Raises the file error 17 when the target name is taken; then nothing has changed.
bool markSpaceForDeletion(uint32 id);

// The main loop's step: when a space was marked, runs a pass. A failing pass asks again (so it is
// retried a second later) and lets the exception through to the loop, which logs it.
void serviceSpaceDeletion();

// Removes every marked space directory of the repository, until a listing finds none or the
// calling thread is asked to stop. True when at least one space was removed. At start-up the disk
// usage is left alone (the caller has it recounted); otherwise each removal lowers it.
bool checkForDeletedSpaces(bool atStartup);

// Removes one marked directory `path` ("<repository>/<id>-TO_DELETE") and the space's record.
// A name that is not exactly a non-zero decimal id followed by "-TO_DELETE" is left alone.
void deleteSpacePermanently(const char* path, bool atStartup);

// The space id of a marked directory's name, or 0 when the name is not exactly "<id>-TO_DELETE"
// with a decimal id without leading zeros (such directories are never removed).
uint32 markedSpaceID(const char* name);
