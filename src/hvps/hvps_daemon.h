// The daemon's process entry: command line, run-environment checks, background start with the
// launcher handshake, start-up, the one-second main loop and shutdown.
#pragma once

int hv_service_main(int argc, char* argv[]);
