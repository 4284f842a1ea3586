// HVPSRequest: reads the XML body of a POST command into an HVPSRequestData. The document has the
// root element "halvora" with a child "command" and a child "space" holding "title", "version" and
// "list"; attributes and every other element are ignored, and no document is refused for its
// content (only the parser's own errors stop it). One object reads one request on one thread.
#pragma once

#include "CSDefs.h"
#include "CSObject.h"
#include "CSString.h"
#include "CSXML.h"

// The fields an XML request can set. Texts are NUL-terminated and cut to their buffers.
struct HVPSRequestData {
    char command[20] = {};      // "newspace", "ping" or "GetSpaceStatistik"
    char title[100] = {};       // title of a new space
    char version[20] = {};      // version text of a new space
    CSRef<CSString> spaceList;  // comma-separated space ids for statistics, or none
};

class HVPSRequest : public CSStaticObject, public CSXMLBuffer {
public:
    HVPSRequestData& data() { return iData; }

    // Releases the space list.
    void finalize() override;

protected:
    // Stores the text of the four known element paths; a later space list replaces an earlier
    // one. Always true.
    bool openNode(const char* path, const char* value) override;
    bool closeNode(const char*) override { return true; }
    bool addAttribute(const char*, const char*, const char*) override { return true; }

private:
    HVPSRequestData iData;
};
