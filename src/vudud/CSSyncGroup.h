// Flushes to stable storage shared between threads (group commit). When several threads need the
// same folder or file flushed at about the same time, one flush that starts after all of their
// requests serves them all: a request that arrives while a flush of its key runs waits for it (that
// flush may have started before the request's own changes) and then for, or runs, the next one.
// Flushes of different keys run in parallel: the kernel already joins concurrent flushes of one
// file system into one journal commit, so serialising them here would only add waiting.
// Thread-safe; a flush in progress is not interrupted.
#pragma once

#include <functional>
#include <string>

class CSSyncGroup {
public:
    // The folder's entries (names created, renamed or removed in it) are on disk when this returns.
    static void syncDir(const std::string& path);
    // Runs `flush` (which raises on failure), or waits for a run of `flush` for the same `key` by
    // another thread that started after this call. When a flush that could have served this call
    // failed, its error is raised here as well: after a failed flush nothing says a later one has
    // written the same data.
    static void share(const std::string& key, const std::function<void()>& flush);
    // The number of threads in share() for `key` (waiting or flushing).
    static int users(const std::string& key);
};
