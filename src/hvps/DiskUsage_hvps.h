// The repository's disk usage: a running total of the bytes stored in the space directories, kept
// in hvps_system_parameters.iDiskUsage and persisted in the file "disk-usage" (an unsigned decimal,
// nothing else). Request threads and the space deletion change the total through setDiskUsage; the
// main thread reads it for saving. Every access to the total takes the system-parameter lock,
// which comes last in the server's lock order.
#pragma once

#include "CSDefs.h"

class SystemParameters {
public:
    // Bytes under the folder `path`, at any depth. With countFiles false the plain files directly in
    // `path` are not counted (the repository's own files), only what lies in its sub-folders.
    static uint64 getDiskUsage(const char* path, bool countFiles);
    // Sets the total from the disk-usage file; a missing or empty file or one holding 0 makes a walk
    // of the repository. Raises -14008 "Strange value in %s file: '%s'" for anything but a number.
    static void loadDiskUsage();
    // Writes `usage` to the disk-usage file (unconditionally).
    static void saveDiskUsage(uint64 usage);
    // Writes the current total when it is not 0 and differs from what was last loaded or saved:
    // the main loop calls this every second without rewriting an unchanged file.
    static void saveDiskUsageIfChanged();
    // Adjusts the total by the change of one item's size; it never goes below 0.
    static void setDiskUsage(uint64 oldSize, uint64 newSize);
    // The current total.
    static uint64 currentDiskUsage();
};
