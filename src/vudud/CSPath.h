// CSPath: a reference-counted path text with the file and folder operations of the library,
// including recursive copy, move and removal. A path never ends with "/" except the root "/".
// Path objects are not shared between threads; move() and rename() serialise their
// test-and-rename on one process-wide lock so that two threads cannot both win the same name.
// Arguments passed as raw pointers are borrowed for the call; results carry one reference.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "CSDefs.h"
#include "CSObject.h"
#include "CSString.h"

class CSFile;
class CSDirectory;
class CSTime;

class CSPath : public CSRefObject {
public:
    explicit CSPath(CSRef<CSString> text);

    // A trailing "/" is removed when the text is longer than one character. A null text raises the
    // assertion "Initial string may not be NULL".
    static CSRef<CSPath> newPath(CSRef<CSString> text);
    static CSRef<CSPath> newPath(const char* text);
    // `name` made absolute against `base`: "." and ".." components are resolved, so
    // newPath(p, "..") is the parent folder. An absolute name is taken as it is.
    static CSRef<CSPath> newPath(const CSPath* base, const char* name);
    static CSRef<CSPath> newPath(const CSString* base, const char* name);
    static CSRef<CSPath> newPath(const char* base, const CSString* name);
    static CSRef<CSPath> newPath(const char* base, const char* name);
    // The process's current folder.
    static CSRef<CSPath> getCWD();

    // The text of `name` applied to `base` as newPath does, without truncation.
    static std::string makeAbsolute(std::string_view base, std::string_view name);

    CSString* getString() const { return iPath.get(); }
    const char* getCString() const { return iPath->getCString(); }
    // The last component ("" for the root).
    const char* getNameCString() const;

    // False when the path cannot be reached; isDir is filled only when it exists.
    bool exists(bool* isDir) const;
    bool exists() const { return exists(nullptr); }
    // Each output is optional; a missing path raises code 2.
    void info(bool* isDir, uint64* size, CSTime* modified) const;
    static void info(const char* path, bool* isDir, uint64* size, CSTime* modified);
    uint64 getSize() const;
    static uint64 getSize(const char* path);
    bool isDir() const;
    bool isLink() const;
    // A missing path is empty, a file is not, a folder is empty when it has no entry.
    bool isEmpty() const;

    // An open file that holds a reference to this path.
    CSRef<CSFile> openFile(int mode);
    // Opens with CSFile::CREATE added, making missing parent folders.
    CSRef<CSFile> createFile(int mode);
    // Creates an empty file when missing; an existing file and its times are left as they are.
    // With createPath, missing parent folders are made too.
    void touch(bool createPath = false);
    // A missing file is no error.
    void removeFile();

    // One level; the new folder takes its parent's permission bits, less those the umask removes.
    void makeDir();
    // All missing levels. An existing folder is no error; an existing non-folder raises code 17.
    void makePath();
    std::unique_ptr<CSDirectory> openDirectory() const;
    // Empties the folder, then removes it. A missing folder is no error.
    void removeDir();
    // Removes everything inside the folder; the folder stays. Code 20 when it is not a folder.
    void emptyDir();
    // Removes the files of the whole tree and keeps all folders.
    void emptyPath();
    // Flushes the folder's entries to disk (after a create or rename that must survive a crash).
    void syncDir() const;

    // Removes a file, a link (never what it points to) or a whole folder tree; nothing when missing.
    void remove();
    // A folder is copied with copyDir, anything else with copyFile. Code 2 when this path is missing.
    void copyTo(CSPath* dest, bool overwrite);
    // Into an existing folder under this path's name, or onto `dest`. An existing target raises
    // code 17 unless `overwrite`. Missing parent folders of the target are made.
    void copyFile(CSPath* dest, bool overwrite);
    // The tree under an existing folder `dest` (under this path's name) or as `dest`. Code 20 when
    // `dest` is a file; code 17 when the target exists, unless `overwrite` (then it is replaced).
    void copyDir(CSPath* dest, bool overwrite);
    // Into an existing folder under this path's name (code 17 when taken), or to the new name
    // `dest`; code 20 when `dest` is an existing file; code 2 when this path is missing.
    void moveTo(CSPath* dest);
    // Renames to `dest` unless it exists (code 17). This object keeps its old text.
    void move(CSPath* dest);
    // Renames within the same folder; this object takes the new text. Code 17 when the name is
    // taken; a name that is empty, "." or "..", or holds "/" raises EINVAL.
    void rename(const char* newName);

private:
    // Removes the files below the folder; its subfolders too when removeSubfolders, else only their files.
    void emptyFolder(bool removeSubfolders);
    CSRef<CSString> iPath;
};
