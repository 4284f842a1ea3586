// CSDirectory: iteration over the entries of one folder ("." and ".." are skipped). Not
// reference-counted: the creator owns it (std::unique_ptr) and the folder stream is closed when it
// goes. Used by one thread at a time.
#pragma once

#include <memory>
#include <string>

#include "CSDefs.h"
#include "CSObject.h"
#include "CSString.h"
#include "CSSys.h"

class CSOutputStream;
class CSPath;
class CSTime;

class CSDirectory : public CSObject {
public:
    explicit CSDirectory(const char* path) : iDir(path) {}

    // Unopened directories.
    static std::unique_ptr<CSDirectory> newDirectory(const CSString* path);
    static std::unique_ptr<CSDirectory> newDirectory(const char* path);
    static std::unique_ptr<CSDirectory> newDirectory(const CSPath* path);

    void open() { iDir.open(); }
    void close() { iDir.close(); }
    // Moves to the next entry; false at the end. A pending thread signal is raised.
    bool next() { return iDir.next(); }

    // The current entry.
    const char* name() const { return iDir.entryName(); }
    // Anything but a folder counts as a file (also a link to a folder).
    bool isFile() const { return iDir.entryIsFile(); }
    std::string getEntryPath() const { return iDir.getEntryPath(); }
    uint64 getSize() const;
    void info(bool* isDir, uint64* size, CSTime* modified) const;
    // Removes the current entry as a file.
    void deleteEntry();

    const char* getPath() const { return iDir.path(); }
    // Whether the folder itself exists.
    bool exists() const { return CSSys::sys_exists(iDir.path()); }

    // One line per entry: "D" or "f", the size as "%8llu ", the modification time, " ", the name.
    void print(CSOutputStream* out);

private:
    CSSysDir iDir;
};
