// What the sandbox's parts share among themselves; not for its users.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

// Moves the calling thread into a namespace host's network namespace, or
// back into the sandbox's own.
bool sandbox_enter_host(const char *host);
void sandbox_leave_host();

bool sandbox_readable(int fd, int timeout_ms);

// Polls check every 10 ms until it holds or timeout_ms have passed.
template <typename Check> bool sandbox_wait_until(int timeout_ms, Check check)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (check())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// How /proc/net/udp writes the local port of a socket bound to port.
std::string sandbox_udp_table_port(std::uint16_t port);

// Has the kernel refuse setsockopt(SOL_SOCKET, SO_ATTACH_FILTER) with ENOMEM,
// as when a socket's option memory is spent, and allow everything else.
bool sandbox_refuse_socket_filters();
