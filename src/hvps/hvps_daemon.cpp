#include "hvps_daemon.h"

#include <cstdio>

int hv_service_main(int, char*[]) {
    fprintf(stderr, "Error: hvpsd is not built yet\n");
    return 1;
}
