// Process entry of hvpsd: the exit status is that of the server's whole life.
#include "hvps_daemon.h"

int main(int argc, char* argv[]) { return hv_service_main(argc, argv, nullptr); }
