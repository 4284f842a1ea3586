// Restore state and recovery. After the repository has been restored from a backup the server
// starts a new restore generation: a new restore ID, and per space the point its protocol log had
// reached, so that every client can tell it must re-upload what the server lost. The repository's
// state lives in hvps_system_parameters (iRestoreID, iRestoreState) and the file "restore-state";
// each space's state in its record and in <space id>/r-state.
// loadAndSetRestoreState and recoverSpaces run at start-up on the main thread only. The per-space
// operations may run in several request threads at once for the same space; they take no lock and
// concurrent writers of one r-state file write the same text.
#pragma once

#include <ctime>

#include "CSDefs.h"

class HVSpace;

// Values of hvps_system_parameters.iRestoreState.
enum : int32 {
    RESTORE_STATE_NONE = 0,         // no restore has ever been announced
    RESTORE_STATE_ONLINE = 1,       // the current generation is set up
    RESTORE_STATE_IN_PROGRESS = 2,  // the spaces' recovery has to run or is running
    RESTORE_STATE_ANNOUNCED = 3,    // a restore was announced (marker or flag), not yet processed
};

// Sets iRestoreID and iRestoreState from the marker "restored", the command-line flag and the
// restore-state file, writes the file when a generation exists, and removes the marker.
void loadAndSetRestoreState();
// Brings every space's recovery state to the current restore ID, then marks the state online.
void recoverSpaces();
// If the marker file "restored" exists: remove false announces a restore, remove true deletes it.
void checkRestoreOption(bool remove);
// Writes restore-state ("id=%llu\nstate=%s\n") so that a crash leaves either the old or the new
// complete file on disk.
void saveRestoreState();
// Seconds from 2010-02-01 00:00:00 UTC to now. Raises -14008 when the clock is before that moment.
uint64 getNextRestoreID();
// The same for a given time.
uint64 restoreIDForTime(time_t now);

// Makes sure the space's recovery fields are known: from its r-state file, or computed (and saved)
// when there is none. Does nothing once the space's restore ID is non-zero.
void readSpaceRestoreState(HVSpace* space);
// Computes the space's recovery fields from its protocol logs for the current restore ID. Returns
// false (nothing worth saving) when the space has no protolog folder.
bool setCurrentSpaceRestoreState(HVSpace* space);
// Writes the space's r-state file and flushes it to disk; nothing while its restore ID is 0.
void saveSpaceRestoreState(HVSpace* space);
