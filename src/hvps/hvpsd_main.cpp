// Process entry of hvpsd.
#include "hvps_daemon.h"

int main(int argc, char* argv[]) { return hv_service_main(argc, argv); }
