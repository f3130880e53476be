// The emulated board of boards/board, for the board test and the demo.
#pragma once

#include <cstdint>
#include <string>

#include <sys/types.h>

#include "sandbox/sandbox.h"

// The emulated board of boards/board in the relay host's place: its two
// NICs are taps on the relay host's bridges, whose addresses it takes over.
// It boots DIR/vmlinuz and DIR/initrd.img, on a throwaway copy of
// DIR/board.img where there is one, its console written to DIR/console.log. Returns the pid of
// qemu, which sandbox_stop ends.
pid_t sandbox_board_start(const std::string &dir);
// The port the board's relay listens on, from the settings in its image.
std::uint16_t sandbox_board_port();
// Waits until the board's shell on its virtio console answers.
bool sandbox_board_ready(int timeout_ms);
// Runs command in the board's shell: its exit status, or -1 when it did not
// finish in time, and its output, standard error included.
int sandbox_board_run(const std::string &command, std::string &output, int timeout_ms = 60000);
// Polls condition, a shell command, on the board until it succeeds or a
// minute has passed there; the board's shell is free again either way.
bool sandbox_board_until(const std::string &condition);
// True once a socket on the board is bound to UDP port.
bool sandbox_board_bound(std::uint16_t port);
