// Text through both delimited readers. Tab-delimited lines whose fields can be written must read
// back exactly after a save (the space database depends on it); white-space-delimited fields are
// never empty, hold no white space, and comment lines give none.
#include <cstring>
#include <string>
#include <vector>

#include "CSDelimited.h"
#include "CSStream.h"
#include "FuzzSupport.h"

namespace {

using Lines = std::vector<std::vector<std::string>>;

class TabLines : public CSTabDelimited {
public:
    Lines iLines;

    void setValue(int column, CSRef<CSString> value) override {
        FUZZ_CHECK(value);
        if (iCurrent.empty()) FUZZ_CHECK(column == 0);
        FUZZ_CHECK(column == static_cast<int>(iCurrent.size()));
        iCurrent.emplace_back(value->view());
    }
    void setEOL() override { iLines.push_back(std::exchange(iCurrent, {})); }

    // Output side: the lines of iSave.
    const char* getValue(int column) override { return iSave[iLine][column].c_str(); }
    bool nextLine(unsigned int line) override {
        iLine = line;
        return line < iSave.size();
    }
    Lines iSave;

private:
    std::vector<std::string> iCurrent;
    size_t iLine = 0;
};

class SpaceFields : public CSSpaceDelimited {
public:
    void setValue(int column, CSRef<CSString> value) override {
        FUZZ_CHECK(value && value->length() > 0);
        FUZZ_CHECK(column == iColumn++);
        FUZZ_CHECK(value->view().find_first_of(" \t\n\v\f\r") == std::string_view::npos);
        if (column == 0) FUZZ_CHECK(value->view()[0] != '#');
    }
    void setEOL() override {
        FUZZ_CHECK(iColumn > 0);
        iColumn = 0;
    }

private:
    int iColumn = 0;
};

// Lines a save can hold: the same number of fields, no NUL (values are C strings), and not a lone
// empty field (written as an empty line, which reads back as no field).
bool saveable(const Lines& lines) {
    if (lines.empty() || lines[0].empty()) return false;
    for (const auto& line : lines) {
        if (line.size() != lines[0].size()) return false;
        if (line.size() == 1 && line[0].empty()) return false;
        for (const auto& field : line)
            if (field.find('\0') != std::string::npos) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TabLines tab;
    tab.load(CSMemoryInputStream::newStream(data, size));
    if (saveable(tab.iLines)) {
        tab.iSave = tab.iLines;
        auto out = CSMemoryOutputStream::newStream(256, 256);
        tab.save(out, static_cast<uint32>(tab.iSave[0].size()));
        std::string saved(out->getMemory(), out->getSize());
        TabLines again;
        again.load(CSMemoryInputStream::newStream(saved.data(), saved.size()));
        FUZZ_CHECK(again.iLines == tab.iLines);
    }

    SpaceFields space;
    space.load(CSMemoryInputStream::newStream(data, size));
    return 0;
}
