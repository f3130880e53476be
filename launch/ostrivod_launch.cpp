// ostrivod-launch [-u USER] [-f FILE] PROGRAM [ARG...]: runs PROGRAM, the
// relay or its check, with no privilege but the right to bind the relay's
// port where that port is below 1024, and no way to gain another. Every init
// system starts the relay through it, so that a board whose userland is
// BusyBox drops privileges exactly as a Debian one does.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "daemon/daemon.h"

namespace {

[[noreturn]] void usage()
{
    std::fprintf(stderr,
                 "usage: ostrivod-launch [-u USER] [-f FILE] PROGRAM [ARG...]\n"
                 "Runs PROGRAM as USER (a name, or UID:GID), keeping CAP_NET_BIND_SERVICE\n"
                 "only where the port in FILE (default %s) is below 1024.\n",
                 SETTINGS_PATH);
    std::exit(2);
}

[[noreturn]] void fail(const char *what, const char *detail = nullptr)
{
    int error = errno;
    std::fprintf(stderr, "ostrivod-launch: %s%s%s: %s\n", what, detail ? " " : "",
                 detail ? detail : "", std::strerror(error));
    std::exit(1);
}

// A user's name, or a numeric UID:GID, as a unit names user nobody.
bool find_user(const char *name, uid_t &uid, gid_t &gid)
{
    char *colon = nullptr, *end = nullptr;
    unsigned long number = std::strtoul(name, &colon, 10);
    if (colon != name && *colon == ':' && colon[1] >= '0' && colon[1] <= '9') {
        unsigned long group = std::strtoul(colon + 1, &end, 10);
        if (*end == '\0') {
            uid = static_cast<uid_t>(number);
            gid = static_cast<gid_t>(group);
            return true;
        }
    }
    const passwd *entry = getpwnam(name);
    if (!entry)
        return false;
    uid = entry->pw_uid;
    gid = entry->pw_gid;
    return true;
}

// Everything but the one capability kept leaves the bounding set. Only a
// process with CAP_SETPCAP may drop them, as root may; another, such as a
// unit's, is already bounded by its init system.
void bound(bool keep)
{
    for (int cap = 0; prctl(PR_CAPBSET_READ, cap) >= 0; ++cap)
        if ((!keep || cap != CAP_NET_BIND_SERVICE) && prctl(PR_CAPBSET_DROP, cap) != 0 &&
            errno != EPERM)
            fail("cannot drop a capability");
}

// Becomes the user with no other group, holding the one capability kept
// through the change of uid so that it can be made ambient.
void become(uid_t uid, gid_t gid, bool keep)
{
    if (prctl(PR_SET_KEEPCAPS, 1) != 0)
        fail("cannot keep capabilities");
    if (setgroups(0, nullptr) != 0)
        fail("cannot clear the groups");
    if (setresgid(gid, gid, gid) != 0)
        fail("cannot set the group");
    if (setresuid(uid, uid, uid) != 0)
        fail("cannot set the user");
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (keep)
        data[0].permitted = data[0].inheritable = 1U << CAP_NET_BIND_SERVICE;
    if (syscall(SYS_capset, &header, data) != 0)
        fail("cannot set the capabilities");
}

} // namespace

int main(int argc, char **argv)
{
    const char *user = nullptr;
    const char *path = SETTINGS_PATH;
    // "+": PROGRAM's own options are its own.
    for (int option = 0; (option = getopt(argc, argv, "+u:f:")) != -1;) {
        if (option == 'u')
            user = optarg;
        else if (option == 'f')
            path = optarg;
        else
            usage();
    }
    if (optind >= argc)
        usage();

    // The relay's port, as the relay will read it; unreadable settings keep
    // nothing, and the check says why.
    module_settings settings;
    settings_handle file = settings_open(path, "r");
    load_module_settings(settings, file);
    settings_close(std::move(file));
    bool keep = settings.port >= 1 && settings.port < 1024;

    if (user) {
        uid_t uid = 0;
        gid_t gid = 0;
        if (!find_user(user, uid, gid)) {
            std::fprintf(stderr, "ostrivod-launch: no user %s\n", user);
            return 1;
        }
        bound(keep);
        become(uid, gid, keep);
    }
    // An unprivileged program keeps across exec only its ambient
    // capabilities.
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0)
        fail("cannot clear the ambient capabilities");
    if (keep && prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_NET_BIND_SERVICE, 0, 0) != 0)
        fail("cannot keep CAP_NET_BIND_SERVICE for port", std::to_string(settings.port).c_str());
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        fail("cannot give up gaining privileges");
    execv(argv[optind], argv + optind);
    fail("cannot run", argv[optind]);
}
