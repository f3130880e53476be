// A seccomp filter for one case of the integration suite: the kernel refuses
// the daemon its socket filter.

#include "internal.h"

#include <cerrno>
#include <cstddef>
#include <iterator>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

bool sandbox_refuse_socket_filters()
{
    // The machines the sandbox runs on; on another, the architecture check
    // below would let every call through, and the case could not fail.
#if defined(__aarch64__)
    constexpr std::uint32_t ARCH = AUDIT_ARCH_AARCH64;
#elif defined(__x86_64__)
    constexpr std::uint32_t ARCH = AUDIT_ARCH_X86_64;
#else
    constexpr std::uint32_t ARCH = 0;
#endif
    // cppcheck-suppress knownConditionTrueFalse ; false only where it must stop the build
    static_assert(ARCH != 0, "the sandbox's seccomp filter knows only x86_64 and aarch64");
    auto load = [](std::size_t offset) {
        return sock_filter{BPF_LD | BPF_W | BPF_ABS, 0, 0, static_cast<std::uint32_t>(offset)};
    };
    auto unless = [](std::uint32_t value, std::uint8_t skip) {
        return sock_filter{BPF_JMP | BPF_JEQ | BPF_K, 0, skip, value};
    };
    // The low half of each argument comes first: both machines are little-endian.
    sock_filter program[] = {
        load(offsetof(seccomp_data, arch)),
        unless(ARCH, 7),
        load(offsetof(seccomp_data, nr)),
        unless(__NR_setsockopt, 5),
        load(offsetof(seccomp_data, args[1])),
        unless(SOL_SOCKET, 3),
        load(offsetof(seccomp_data, args[2])),
        unless(SO_ATTACH_FILTER, 1),
        sock_filter{BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ERRNO | ENOMEM},
        sock_filter{BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},
    };
    sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}
