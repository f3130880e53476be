// ostrivod-check [-q] [-p] [-w SECONDS] [FILE]: tells whether the relay will
// work with a settings file, and if not, why.

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "check/check.h"

namespace {

void usage(std::FILE *to)
{
    std::fprintf(to,
                 "usage: ostrivod-check [-q] [-p] [-w SECONDS] [FILE]\n"
                 "       ostrivod-check -h\n"
                 "Checks FILE (default %s) as ostrivod will read it.\n"
                 "  -q  print nothing when there is nothing to say\n"
                 "  -p  print the settings as the daemon will use them\n"
                 "  -w  wait up to SECONDS for the relay's port to be free\n"
                 "  -h  print this and exit\n"
                 "Exit status: 0 the daemon will relay, 1 it will not, 2 usage.\n",
                 SETTINGS_PATH);
}

} // namespace

int main(int argc, char **argv)
{
    check_options options;
    for (int option = 0; (option = getopt(argc, argv, "qphw:")) != -1;) {
        switch (option) {
        case 'q':
            options.quiet = true;
            break;
        case 'p':
            options.print = true;
            break;
        case 'w': {
            char *end = nullptr;
            unsigned long seconds = std::strtoul(optarg, &end, 10);
            if (*optarg < '0' || *optarg > '9' || *end != '\0' || seconds > 3600) {
                usage(stderr);
                return 2;
            }
            options.wait_port = static_cast<unsigned>(seconds);
            break;
        }
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
