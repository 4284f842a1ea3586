#include "CSDirectory.h"

#include <cstdio>
#include <cstring>

#include "CSPath.h"
#include "CSStream.h"
#include "CSTime.h"

std::unique_ptr<CSDirectory> CSDirectory::newDirectory(const CSString* path) {
    return std::make_unique<CSDirectory>(path ? path->getCString() : "");
}

std::unique_ptr<CSDirectory> CSDirectory::newDirectory(const char* path) {
    return std::make_unique<CSDirectory>(path ? path : "");
}

std::unique_ptr<CSDirectory> CSDirectory::newDirectory(const CSPath* path) {
    return std::make_unique<CSDirectory>(path ? path->getCString() : "");
}

uint64 CSDirectory::getSize() const {
    uint64 size = 0;
    info(nullptr, &size, nullptr);
    return size;
}

void CSDirectory::info(bool* isDir, uint64* size, CSTime* modified) const {
    CSPath::info(iDir.getEntryPath().c_str(), isDir, size, modified);
}

void CSDirectory::deleteEntry() { CSSys::sys_removeFile(iDir.getEntryPath().c_str()); }

void CSDirectory::print(CSOutputStream* out) {
    while (next()) {
        bool isDir = false;
        uint64 size = 0;
        CSTime modified;
        info(&isDir, &size, &modified);
        char line[500];
        snprintf(line, sizeof(line), "%c%8llu %s %s", isDir ? 'D' : 'f',
                 static_cast<unsigned long long>(size), modified.getCString(), name());
        out->write(line, strlen(line));
        out->write(out->getEOL(), strlen(out->getEOL()));
    }
}
