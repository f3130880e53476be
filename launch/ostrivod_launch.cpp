// ostrivod-launch [-u USER] [-f FILE] PROGRAM [ARG...]: runs PROGRAM, the
// relay or its check, with no privilege but the right to bind the relay's
// port where that port is below 1024, and no way to gain another. Every init
// system starts the relay through it, so that a board whose userland is
// BusyBox drops privileges exactly as a Debian one does. PROGRAM gets
// nothing else of its caller's: no descriptor but the standard three, no
// ignored or blocked signal.

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "settings/module_settings.h"

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace {

// As shells and env(1) tell a program they could not run.
constexpr int REFUSED = 1, CANNOT_RUN = 126, NOT_FOUND = 127;

[[noreturn]] void usage()
{
    std::fprintf(stderr,
                 "usage: ostrivod-launch [-u USER] [-f FILE] PROGRAM [ARG...]\n"
                 "Runs PROGRAM as USER (a name, or UID:GID), keeping CAP_NET_BIND_SERVICE\n"
                 "only where the port in FILE (default %s) is below 1024.\n",
                 SETTINGS_PATH);
    std::exit(2);
}

// A printf-checked message, as the log's.
// NOLINTNEXTLINE(cert-dcl50-cpp)
[[noreturn]] __attribute__((format(printf, 1, 2))) void refuse(const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::fputs("ostrivod-launch: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::exit(REFUSED);
}

[[noreturn]] void fail(const char *what, const char *detail = nullptr)
{
    int error = errno;
    refuse("%s%s%s: %s", what, detail ? " " : "", detail ? detail : "", std::strerror(error));
}

// An id the program may run as: neither root's 0, whose files stay its own
// without a capability, nor 4294967295, which the kernel takes as "leave the
// id as it is".
bool usable_id(std::uint64_t id)
{
    return id >= 1 && id <= 4294967294U;
}

// A decimal id alone: no sign, no blank, nothing after it.
bool parse_id(std::string_view text, std::uint32_t &id)
{
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > UINT32_MAX)
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (text.empty() || !usable_id(value))
        return false;
    id = static_cast<std::uint32_t>(value);
    return true;
}

// USER as a name, or as UID:GID, as a unit names user nobody; a name with a
// colon cannot be in the user database.
void find_user(const char *user, uid_t &uid, gid_t &gid)
{
    std::string_view text = user;
    if (std::size_t colon = text.find(':'); colon != std::string_view::npos) {
        if (!parse_id(text.substr(0, colon), uid) || !parse_id(text.substr(colon + 1), gid))
            refuse("-u %s: not UID:GID, each a decimal number from 1 to 4294967294", user);
        return;
    }
    passwd entry{};
    passwd *found = nullptr;
    std::vector<char> buffer(1024);
    int error = 0;
    while ((error = getpwnam_r(user, &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (!found) {
        // The values getpwnam(3) gives for a name that is not there.
        if (error == 0 || error == ENOENT || error == ESRCH || error == EBADF || error == EPERM)
            refuse("no user %s", user);
        errno = error;
        fail("cannot look up user", user);
    }
    if (!usable_id(entry.pw_uid) || !usable_id(entry.pw_gid))
        refuse("-u %s: uid %u, gid %u: root's uid or group would keep root's files", user,
               entry.pw_uid, entry.pw_gid);
    uid = entry.pw_uid;
    gid = entry.pw_gid;
}

// Whether any of the process's uids is root's.
bool as_root()
{
    uid_t real = 0, effective = 0, saved = 0;
    return getresuid(&real, &effective, &saved) != 0 || real == 0 || effective == 0 || saved == 0;
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

// Every descriptor above standard error closes on exec: a shell's open
// files, say, a root-only one among them, never reach the program. A kernel
// older than 5.11 has no close_range(2) that does it at once.
void close_others_on_exec()
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
#endif
    rlimit limit{};
    int last = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_max != RLIM_INFINITY &&
                       limit.rlim_max <= 1U << 20
                   ? static_cast<int>(limit.rlim_max)
                   : 1 << 20;
    for (int fd = 3; fd < last; ++fd)
        if (int flags = fcntl(fd, F_GETFD); flags >= 0 && !(flags & FD_CLOEXEC))
            fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// Every signal as a new process has it: caught by nothing, ignored by
// nothing (an init script's "&" ignores SIGINT and SIGQUIT), blocked by
// nothing. The kernel's own call, as the C library will not touch the two
// real-time signals it keeps for itself; a disposition of all zeros is the
// default on every architecture. SIGKILL and SIGSTOP refuse, harmlessly.
void default_signals()
{
    const unsigned long none[4] = {};
    for (int sig = 1; sig < NSIG; ++sig)
        syscall(SYS_rt_sigaction, sig, none, nullptr, (NSIG - 1) / 8);
    sigset_t empty;
    sigemptyset(&empty);
    if (sigprocmask(SIG_SETMASK, &empty, nullptr) != 0)
        fail("cannot unblock the signals");
}

} // namespace

int main(int argc, char **argv)
{
    const char *user = nullptr;
    const char *path = SETTINGS_PATH;
    // "+": PROGRAM's own options are its own.
    for (int option = 0; (option = getopt(argc, argv, "+u:f:")) != -1;) {
        if (option == 'u' && user)
            refuse("-u given twice: %s, then %s", user, optarg);
        if (option == 'u')
            user = optarg;
        else if (option == 'f')
            path = optarg;
        else
            usage();
    }
    if (optind >= argc)
        usage();
    // Root without -u would stay root, owning every root file with no
    // capability at all.
    if (!user && as_root())
        refuse("run as root: name the user to run %s as, with -u", argv[optind]);

    // The relay's port, as the relay will read it; unreadable settings keep
    // nothing, and the check says why.
    module_settings settings;
    load_module_settings(settings, path);
    bool keep = settings.port >= 1 && settings.port < 1024;

    if (user) {
        uid_t uid = 0;
        gid_t gid = 0;
        find_user(user, uid, gid);
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
    close_others_on_exec();
    default_signals();
    execv(argv[optind], argv + optind);
    int error = errno;
    std::fprintf(stderr, "ostrivod-launch: cannot run %s: %s\n", argv[optind],
                 std::strerror(error));
    return error == ENOENT || error == ENOTDIR ? NOT_FOUND : CANNOT_RUN;
}
