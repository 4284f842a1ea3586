#include "CSPath.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "CSDirectory.h"
#include "CSException.h"
#include "CSFile.h"
#include "CSSys.h"
#include "CSTime.h"

namespace {

// Serialises the test-and-rename of move() and rename() within the process.
std::mutex gRenameLock;

constexpr size_t kCopyBufferSize = 64 * 1024;

CSRef<CSString> trimmed(CSRef<CSString> text) {
    if (text->length() > 1 && text->view().back() == '/')
        return CSString::newString(text->view().substr(0, text->length() - 1));
    return text;
}

std::string childOf(const CSPath* folder, const char* name) {
    std::string full = folder->getCString();
    if (full.empty() || full.back() != '/') full += '/';
    full += name;
    return full;
}

}  // namespace

CSPath::CSPath(CSRef<CSString> text) : iPath(std::move(text)) {
    if (!iPath) CSException::throwAssertion(CS_CONTEXT, "Initial string may not be NULL");
}

CSRef<CSPath> CSPath::newPath(CSRef<CSString> text) {
    if (!text) CSException::throwAssertion(CS_CONTEXT, "Initial string may not be NULL");
    return cs_new<CSPath>(trimmed(std::move(text)));
}

CSRef<CSPath> CSPath::newPath(const char* text) {
    if (!text) CSException::throwAssertion(CS_CONTEXT, "Initial string may not be NULL");
    return newPath(CSString::newString(text));
}

CSRef<CSPath> CSPath::newPath(const CSPath* base, const char* name) {
    return newPath(base ? base->getCString() : "", name);
}

CSRef<CSPath> CSPath::newPath(const CSString* base, const char* name) {
    return newPath(base ? base->getCString() : "", name);
}

CSRef<CSPath> CSPath::newPath(const char* base, const CSString* name) {
    return newPath(base, name ? name->getCString() : "");
}

CSRef<CSPath> CSPath::newPath(const char* base, const char* name) {
    return newPath(CSString::newString(makeAbsolute(base ? base : "", name ? name : "")));
}

CSRef<CSPath> CSPath::getCWD() {
    char buffer[PATH_MAX];
    CSSys::sys_getcwd(buffer, sizeof(buffer));
    return newPath(buffer);
}

std::string CSPath::makeAbsolute(std::string_view base, std::string_view name) {
    std::string out;
    if (!name.empty() && name.front() == '/') {
        out = name;
    } else {
        out = base;
        while (!name.empty()) {
            size_t slash = name.find('/');
            std::string_view part = name.substr(0, slash);
            name = slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1);
            if (part.empty() || part == ".") continue;
            if (part == "..") {
                // Cut after the last "/", ignoring one at the very end; no "/" leaves nothing.
                size_t end = out.size() > 1 && out.back() == '/' ? out.size() - 1 : out.size();
                size_t cut = end == 0 ? std::string::npos : out.rfind('/', end - 1);
                if (cut == std::string::npos)
                    out.clear();
                else
                    out.resize(cut + 1);
                continue;
            }
            if (!out.empty() && out.back() != '/') out += '/';
            out += part;
        }
    }
    if (out.size() >= 2 && out.back() == '/') out.pop_back();
    return out;
}

const char* CSPath::getNameCString() const {
    const char* text = iPath->getCString();
    const char* slash = strrchr(text, '/');
    return slash ? slash + 1 : text;
}

// ---- Queries ----------------------------------------------------------------------------------

bool CSPath::exists(bool* isDir) const {
    if (!CSSys::sys_exists(getCString())) return false;
    if (isDir) {
        // The path may vanish between the two calls; then it no longer exists.
        try {
            CSSys::sys_stat(getCString(), isDir, nullptr, static_cast<struct timespec*>(nullptr));
        } catch (const CSException& e) {
            if (CSSys::isFileNotFound(e)) return false;
            throw;
        }
    }
    return true;
}

void CSPath::info(const char* path, bool* isDir, uint64* size, CSTime* modified) {
    struct timespec mtime {};
    CSSys::sys_stat(path, isDir, size, &mtime);
    if (modified) modified->setUTC1970(mtime.tv_sec, static_cast<int32>(mtime.tv_nsec));
}

void CSPath::info(bool* isDir, uint64* size, CSTime* modified) const {
    info(getCString(), isDir, size, modified);
}

uint64 CSPath::getSize(const char* path) {
    uint64 size = 0;
    info(path, nullptr, &size, nullptr);
    return size;
}

uint64 CSPath::getSize() const { return getSize(getCString()); }

bool CSPath::isDir() const {
    bool dir = false;
    info(&dir, nullptr, nullptr);
    return dir;
}

bool CSPath::isLink() const { return CSSys::sys_isLink(getCString()); }

bool CSPath::isEmpty() const {
    bool dir = false;
    if (!exists(&dir)) return true;
    if (!dir) return false;
    std::unique_ptr<CSDirectory> folder = openDirectory();
    return !folder->next();
}

// ---- Files ------------------------------------------------------------------------------------

CSRef<CSFile> CSPath::openFile(int mode) {
    CSRef<CSFile> file = CSFile::newFile(CSRef<CSPath>::retained(this));
    file->openFile(mode);
    return file;
}

CSRef<CSFile> CSPath::createFile(int mode) {
    CSRef<CSFile> file = CSFile::newFile(CSRef<CSPath>::retained(this));
    file->open(mode | CSFile::CREATE);
    return file;
}

void CSPath::touch(bool createPath) {
    CSRef<CSFile> file = CSFile::newFile(CSRef<CSPath>::retained(this));
    if (createPath)
        file->open(CSFile::CREATE | CSFile::READONLY);
    else
        file->openFile(CSFile::CREATE | CSFile::READONLY);
    file->close();
}

void CSPath::removeFile() { CSSys::sys_removeFile(getCString()); }

// ---- Folders ----------------------------------------------------------------------------------

void CSPath::makeDir() { CSSys::sys_makeDir(getCString()); }

void CSPath::makePath() {
    bool dir = false;
    if (exists(&dir)) {
        if (!dir) CSException::throwFileError(CS_CONTEXT, EEXIST, getCString());
        return;
    }
    if (iPath->length() <= 1) return;
    CSRef<CSPath> parent = newPath(this, "..");
    if (parent->iPath->length() > 0) parent->makePath();
    try {
        makeDir();
    } catch (const CSException& e) {
        // Someone else made it meanwhile: fine as long as it is a folder.
        if (!CSSys::isDirExists(e) || !exists(&dir) || !dir) throw;
    }
}

std::unique_ptr<CSDirectory> CSPath::openDirectory() const {
    std::unique_ptr<CSDirectory> folder = CSDirectory::newDirectory(this);
    folder->open();
    return folder;
}

void CSPath::removeDir() {
    emptyDir();
    CSSys::sys_removeDir(getCString());
}

void CSPath::emptyDir() { emptyFolder(true); }

void CSPath::emptyPath() { emptyFolder(false); }

void CSPath::emptyFolder(bool removeSubfolders) {
    bool dir = false;
    if (!exists(&dir)) return;
    if (!dir) CSException::throwFileError(CS_CONTEXT, ENOTDIR, getCString());
    std::unique_ptr<CSDirectory> folder = openDirectory();
    while (folder->next()) {
        CSRef<CSPath> child = newPath(CSString::newString(folder->getEntryPath()));
        if (folder->isFile())
            child->removeFile();
        else if (removeSubfolders)
            child->removeDir();
        else
            child->emptyPath();
    }
}

void CSPath::syncDir() const { CSSys::sys_syncDir(getCString()); }

// ---- Trees ------------------------------------------------------------------------------------

void CSPath::remove() {
    bool dir = false;
    if (!exists(&dir)) {
        // A dangling link does not "exist" but is still an entry to remove.
        if (CSSys::sys_lexists(getCString())) removeFile();
        return;
    }
    // A link is removed itself; its target is never touched.
    if (dir && !isLink())
        removeDir();
    else
        removeFile();
}

void CSPath::copyTo(CSPath* dest, bool overwrite) {
    bool dir = false;
    if (!exists(&dir)) CSException::throwFileError(CS_CONTEXT, ENOENT, getCString());
    if (dir)
        copyDir(dest, overwrite);
    else
        copyFile(dest, overwrite);
}

void CSPath::copyFile(CSPath* dest, bool overwrite) {
    CSRef<CSPath> target = CSRef<CSPath>::retained(dest);
    bool destIsDir = false;
    if (dest->exists(&destIsDir)) {
        if (destIsDir) {
            target = newPath(CSString::newString(childOf(dest, getNameCString())));
            if (target->exists()) {
                if (!overwrite) CSException::throwFileError(CS_CONTEXT, EEXIST, target->getCString());
                target->remove();
            }
        } else if (!overwrite) {
            CSException::throwFileError(CS_CONTEXT, EEXIST, dest->getCString());
        }
    }

    CSRef<CSFile> source = openFile(CSFile::READONLY);
    // Truncating the target when it is the source itself would destroy the data.
    if (target->exists() && CSSys::sys_isSameFile(getCString(), target->getCString()))
        CSException::throwFileError(CS_CONTEXT, EINVAL, target->getCString());
    CSRef<CSFile> copy = target->createFile(CSFile::TRUNCATE);
    std::unique_ptr<char[]> buffer(new char[kCopyBufferSize]);
    CSFile::transfer(copy.get(), 0, source.get(), 0, source->getEOF(), buffer.get(), kCopyBufferSize);
    copy->close();
    source->close();
}

void CSPath::copyDir(CSPath* dest, bool overwrite) {
    CSRef<CSPath> target = CSRef<CSPath>::retained(dest);
    bool destIsDir = false;
    if (dest->exists(&destIsDir)) {
        if (!destIsDir) CSException::throwFileError(CS_CONTEXT, ENOTDIR, dest->getCString());
        target = newPath(CSString::newString(childOf(dest, getNameCString())));
    }

    // A copy inside its own source would keep finding new entries to copy.
    std::string self = getCString();
    std::string into = target->getCString();
    if (into == self || into.starts_with(self == "/" ? self : self + "/"))
        CSException::throwFileError(CS_CONTEXT, EINVAL, target->getCString());

    if (target.get() != dest && target->exists()) {
        if (!overwrite) CSException::throwFileError(CS_CONTEXT, EEXIST, target->getCString());
        target->remove();
    }
    target->makePath();

    std::unique_ptr<CSDirectory> folder = openDirectory();
    while (folder->next()) {
        CSSys::sys_checkSignal();
        CSRef<CSPath> child = newPath(CSString::newString(folder->getEntryPath()));
        if (folder->isFile())
            child->copyFile(target.get(), overwrite);
        else
            child->copyDir(target.get(), overwrite);
    }
}

void CSPath::moveTo(CSPath* dest) {
    if (!exists()) CSException::throwFileError(CS_CONTEXT, ENOENT, getCString());
    bool destIsDir = false;
    if (dest->exists(&destIsDir)) {
        if (!destIsDir) CSException::throwFileError(CS_CONTEXT, ENOTDIR, dest->getCString());
        CSRef<CSPath> target = newPath(CSString::newString(childOf(dest, getNameCString())));
        if (target->exists()) CSException::throwFileError(CS_CONTEXT, EEXIST, target->getCString());
        move(target.get());
        return;
    }
    move(dest);
}

void CSPath::move(CSPath* dest) {
    std::lock_guard<std::mutex> guard(gRenameLock);
    if (dest->exists()) CSException::throwFileError(CS_CONTEXT, EEXIST, dest->getCString());
    CSSys::sys_rename(getCString(), dest->getCString());
}

void CSPath::rename(const char* newName) {
    if (!newName || !*newName || strchr(newName, '/') || strcmp(newName, ".") == 0 ||
        strcmp(newName, "..") == 0)
        CSException::throwFileError(CS_CONTEXT, EINVAL, newName ? newName : "");
    std::string text = getCString();
    size_t slash = text.rfind('/');
    std::string renamed =
        slash == std::string::npos ? std::string(newName) : text.substr(0, slash + 1) + newName;
    std::lock_guard<std::mutex> guard(gRenameLock);
    if (CSSys::sys_exists(renamed.c_str())) CSException::throwFileError(CS_CONTEXT, EEXIST, renamed.c_str());
    CSSys::sys_rename(getCString(), renamed.c_str());
    iPath = CSString::newString(renamed);
}
