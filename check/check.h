// The settings check: whether the daemon will relay with a settings file,
// and why not.
#pragma once

#include <cstdio>

#include "daemon/daemon.h"

struct check_options {
    bool quiet = false; // say nothing when there is nothing to say
    bool print = false; // the settings as the daemon will use them, on out
    // Where the settings can relay, wait up to this many seconds for the
    // port to be free, as the daemon will bind it; 0: leave the port alone.
    unsigned wait_port = 0;
};
// Reads the settings file at path as the daemon does and reports, on err,
// every problem: errors where the daemon would not relay, warnings where it
// would, but not as written. Returns 0 when it would relay, else 1.
int check_settings(const char *path, check_options options, std::FILE *out, std::FILE *err);
