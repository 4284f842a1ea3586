#include "HVPSRequest.h"

#include <cstring>

#include "CSStrUtil.h"

void HVPSRequest::finalize() { iData.spaceList.reset(); }

bool HVPSRequest::openNode(const char* path, const char* value) {
    if (!value) value = "";
    if (strcmp(path, "/halvora/command/") == 0)
        cs_strcpy(sizeof(iData.command), iData.command, value);
    else if (strcmp(path, "/halvora/space/title/") == 0)
        cs_strcpy(sizeof(iData.title), iData.title, value);
    else if (strcmp(path, "/halvora/space/version/") == 0)
        cs_strcpy(sizeof(iData.version), iData.version, value);
    else if (strcmp(path, "/halvora/space/list/") == 0)
        iData.spaceList = CSString::newString(value);
    return true;
}
