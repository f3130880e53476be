// ostrivod-check [-q] [-p] [FILE]: tells whether the relay will work with a
// settings file, and if not, why.

#include <cstdio>

#include <unistd.h>

#include "daemon.h"

namespace {

void usage(std::FILE *to)
{
    std::fprintf(to,
                 "usage: ostrivod-check [-q] [-p] [FILE]\n"
                 "Checks FILE (default %s) as ostrivod will read it.\n"
                 "  -q  print nothing when there is nothing to say\n"
                 "  -p  print the settings as the daemon will use them\n"
                 "Exit status: 0 the daemon will relay, 1 it will not, 2 usage.\n",
                 SETTINGS_PATH);
}

} // namespace

int main(int argc, char **argv)
{
    check_options options;
    for (int option = 0; (option = getopt(argc, argv, "qph")) != -1;) {
        switch (option) {
        case 'q':
            options.quiet = true;
            break;
        case 'p':
            options.print = true;
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }
    if (argc - optind > 1) {
        usage(stderr);
        return 2;
    }
    const char *path = optind < argc ? argv[optind] : SETTINGS_PATH;
    return check_settings(path, options, stdout, stderr);
}
