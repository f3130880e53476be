// Floods each relay with datagrams among namespace hosts and measures what it
// relays, what that costs in CPU time and memory, and whether every relayed
// byte arrived right.
// Usage: ostrivo-bench OSTRIVOD FLOOR_RELAY [--rounds N] [--seconds S]

#include "sandbox/sandbox.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::uint16_t PORT = 5000;
constexpr const char *SOURCE = "198.18.1.2";
constexpr const char *DESTINATION = "198.18.2.255";
constexpr std::size_t BATCH = 64;

using clock_type = std::chrono::steady_clock;

clock_type::time_point later(clock_type::time_point from, double seconds)
{
    return from +
           std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
}

struct relay_kind {
    std::string name;
    std::vector<std::string> command;
};

struct round_result {
    double per_second = 0;     // relayed during the flood
    double cpu_us = 0;         // CPU time of the relay per relayed datagram
    long peak_rss_kb = 0;      // VmHWM
    std::uint64_t sent = 0;    // by the sender
    std::uint64_t relayed = 0; // by the relay, flood and drain
    std::uint64_t received = 0;
    std::uint64_t altered = 0;
};

struct sample {
    double cpu_seconds = 0;
    std::uint64_t out_datagrams = 0;
};

// utime and stime from /proc/PID/stat, and the UDP datagrams sent from the
// relay's network namespace (the relay is the only sender there).
sample take_sample(pid_t pid)
{
    sample taken;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14)
            utime = std::stoull(field);
        if (index == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    taken.cpu_seconds =
        static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));

    taken.out_datagrams = sandbox_udp_counter(pid, "OutDatagrams");
    return taken;
}

// Datagram n starts with n and goes on with a window into random bytes that
// moves with n, so an altered, cut or mixed-up datagram shows.
std::vector<unsigned char> pool;

void fill(std::vector<unsigned char> &datagram, std::uint64_t n)
{
    std::memcpy(datagram.data(), &n, sizeof n);
    std::memcpy(datagram.data() + sizeof n, pool.data() + n % 251, datagram.size() - sizeof n);
}

bool intact(const unsigned char *datagram, std::size_t length, std::size_t expected_length)
{
    std::uint64_t n = 0;
    if (length != expected_length)
        return false;
    std::memcpy(&n, datagram, sizeof n);
    return std::memcmp(datagram + sizeof n, pool.data() + n % 251, length - sizeof n) == 0;
}

// A batch of BATCH datagram buffers with the headers that sendmmsg and
// recvmmsg take, each pointing at its buffer (and at to, when sending).
struct batch {
    std::vector<std::vector<unsigned char>> buffers;
    std::vector<iovec> vectors;
    std::vector<mmsghdr> messages;

    batch(std::size_t size, sockaddr_in *to)
        : buffers(BATCH, std::vector<unsigned char>(size)), vectors(BATCH), messages(BATCH)
    {
        for (std::size_t i = 0; i < BATCH; ++i) {
            vectors[i] = {buffers[i].data(), size};
            messages[i].msg_hdr = msghdr{};
            messages[i].msg_hdr.msg_name = to;
            messages[i].msg_hdr.msg_namelen = to != nullptr ? sizeof *to : 0;
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
    }
};

// Hands each datagram that reaches sock to handle(data, size) until nothing
// has come for 300 ms after going turned false.
template <typename Handle>
void receive_until_quiet(int sock, const std::atomic<bool> &going, Handle handle)
{
    batch received(65536, nullptr);
    auto quiet_since = clock_type::now();
    for (;;) {
        pollfd wait{sock, POLLIN, 0};
        if (poll(&wait, 1, 50) <= 0) {
            if (!going && clock_type::now() - quiet_since > std::chrono::milliseconds(300))
                return;
            continue;
        }
        int count = recvmmsg(sock, received.messages.data(), BATCH, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < count; ++i) {
            auto index = static_cast<std::size_t>(i);
            handle(received.buffers[index].data(), received.messages[index].msg_len);
        }
        quiet_since = clock_type::now();
    }
}

// Sends datagrams of size to the relay as fast as sock can until deadline.
std::uint64_t flood(int sock, std::size_t size, clock_type::time_point deadline)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(PORT);
    inet_pton(AF_INET, "198.18.1.1", &to.sin_addr);
    batch datagrams(size, &to);
    std::uint64_t sent = 0;
    while (clock_type::now() < deadline) {
        for (std::size_t i = 0; i < BATCH; ++i)
            fill(datagrams.buffers[i], sent + i);
        int count = sendmmsg(sock, datagrams.messages.data(), BATCH, 0);
        if (count > 0)
            sent += static_cast<std::uint64_t>(count);
    }
    return sent;
}

pid_t start_relay(const relay_kind &relay)
{
    pid_t pid = sandbox_start(relay.command);
    if (pid > 0 && sandbox_wait_bound(pid, PORT, 10000))
        return pid;
    std::fprintf(stderr, "%s did not start\n", relay.name.c_str());
    if (pid > 0)
        sandbox_stop(pid);
    return -1;
}

// Waits until the relay has sent what its socket held; the last sample.
sample drain(pid_t pid)
{
    sample drained = take_sample(pid);
    std::uint64_t previous = 0;
    do {
        previous = drained.out_datagrams;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        drained = take_sample(pid);
    } while (drained.out_datagrams != previous);
    return drained;
}

void stop_relay(pid_t pid)
{
    sandbox_stop(pid);
    // A full log queue would block the next daemon's first record.
    sandbox_record record;
    while (sandbox_next_record(record, 0)) {
    }
}

unique_fd destination_socket()
{
    unique_fd dest = sandbox_udp_socket("dest1", PORT);
    int buffer = 64 << 20;
    setsockopt(dest.get(), SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    return dest;
}

bool run_round(const relay_kind &relay, std::size_t size, double seconds, round_result &result)
{
    unique_fd dest = destination_socket();
    unique_fd sender = sandbox_udp_socket("sender", 0);
    pid_t pid = start_relay(relay);
    if (!dest || !sender || pid <= 0)
        return false;

    std::atomic<bool> flooding = true;
    std::thread receiver([&] {
        receive_until_quiet(dest.get(), flooding,
                            [&](const unsigned char *data, std::size_t length) {
                                ++result.received;
                                if (!intact(data, length, size))
                                    ++result.altered;
                            });
    });
    sample before = take_sample(pid);
    auto started = clock_type::now();
    result.sent = flood(sender.get(), size, later(started, seconds));
    sample after = take_sample(pid);
    std::chrono::duration<double> elapsed = clock_type::now() - started;
    sample drained = drain(pid);
    flooding = false;
    receiver.join();
    result.peak_rss_kb = std::strtol(sandbox_status(pid, "VmHWM").c_str(), nullptr, 10);
    stop_relay(pid);

    auto relayed = static_cast<double>(after.out_datagrams - before.out_datagrams);
    result.per_second = relayed / elapsed.count();
    result.cpu_us = relayed > 0 ? (after.cpu_seconds - before.cpu_seconds) * 1e6 / relayed : 0;
    result.relayed = drained.out_datagrams - before.out_datagrams;
    return true;
}

// The foreign-flood round: the source sends PACED numbered datagrams of
// PACED_SIZE bytes at PACED_RATE a second, with or without the foreign host
// flooding the relay's port with datagrams of that size meanwhile.
constexpr std::uint64_t PACED = 20000;
constexpr double PACED_RATE = 10000;
constexpr std::size_t PACED_SIZE = 64;

struct paced_result {
    std::uint64_t arrived = 0; // distinct accepted datagrams at the destination
    std::uint64_t out_of_order = 0;
    std::uint64_t altered = 0; // altered, duplicated or foreign
    std::uint64_t foreign_sent = 0;
    double cpu_seconds = 0;
};

void send_paced(int sock)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(PORT);
    inet_pton(AF_INET, "198.18.1.1", &to.sin_addr);
    std::vector<unsigned char> datagram(PACED_SIZE);
    auto started = clock_type::now();
    for (std::uint64_t n = 0; n < PACED; ++n) {
        std::this_thread::sleep_until(later(started, static_cast<double>(n) / PACED_RATE));
        fill(datagram, n);
        sendto(sock, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to),
               sizeof to);
    }
}

bool run_paced_round(const relay_kind &relay, bool flooded, paced_result &result)
{
    unique_fd dest = destination_socket();
    unique_fd sender = sandbox_udp_socket("sender", 0);
    unique_fd foreign = sandbox_udp_socket("foreign", 0);
    pid_t pid = start_relay(relay);
    if (!dest || !sender || !foreign || pid <= 0)
        return false;

    std::atomic<bool> sending = true;
    std::vector<bool> seen(PACED);
    std::uint64_t highest = 0;
    std::thread receiver([&] {
        receive_until_quiet(dest.get(), sending,
                            [&](const unsigned char *data, std::size_t length) {
                                std::uint64_t n = 0;
                                std::memcpy(&n, data, std::min(length, sizeof n));
                                if (!intact(data, length, PACED_SIZE) || n >= PACED || seen[n]) {
                                    ++result.altered;
                                    return;
                                }
                                seen[n] = true;
                                ++result.arrived;
                                if (n < highest)
                                    ++result.out_of_order;
                                highest = std::max(highest, n);
                            });
    });
    sample before = take_sample(pid);
    std::thread flooder;
    if (flooded)
        flooder = std::thread([&] {
            result.foreign_sent =
                flood(foreign.get(), PACED_SIZE,
                      later(clock_type::now(), static_cast<double>(PACED) / PACED_RATE));
        });
    send_paced(sender.get());
    if (flooder.joinable())
        flooder.join();
    sample after = drain(pid);
    sending = false;
    receiver.join();
    stop_relay(pid);
    result.cpu_seconds = after.cpu_seconds - before.cpu_seconds;
    return true;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct summary {
    double per_second, cpu_us;
    long peak_rss_kb;
    double relayed_share; // relayed / sent, over all rounds
    bool exact;           // every relayed datagram arrived, unaltered
};

summary summarize(const std::vector<round_result> &rounds)
{
    std::vector<double> rates, cpu;
    summary total{0, 0, 0, 0, true};
    std::uint64_t sent = 0, relayed = 0;
    for (const round_result &round : rounds) {
        rates.push_back(round.per_second);
        cpu.push_back(round.cpu_us);
        total.peak_rss_kb = std::max(total.peak_rss_kb, round.peak_rss_kb);
        total.exact = total.exact && round.altered == 0 && round.received == round.relayed;
        sent += round.sent;
        relayed += round.relayed;
    }
    total.per_second = median(rates);
    total.cpu_us = median(cpu);
    total.relayed_share = sent ? static_cast<double>(relayed) / static_cast<double>(sent) : 0;
    return total;
}

std::string machine()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string model = "unknown processor";
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.starts_with("model name")) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    std::ifstream version("/proc/sys/kernel/osrelease");
    std::string kernel;
    std::getline(version, kernel);
    return model + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, Linux " + kernel;
}

// The relays flooded by the source, each size in turn; prints the table and
// whether every relayed datagram arrived unaltered.
bool throughput(const std::vector<relay_kind> &relays, long rounds, double seconds)
{
    std::printf("Throughput: %ld rounds of %.1f s for each relay and size; medians.\n\n", rounds,
                seconds);
    std::printf("| size | relay | relayed/s | CPU us/datagram | peak RSS KiB | relayed/sent | "
                "exact | CPU vs floor | CPU vs socat |\n");
    std::printf("|---:|---|---:|---:|---:|---:|---|---:|---:|\n");
    bool all_exact = true;
    for (std::size_t size : {std::size_t{64}, std::size_t{1400}, std::size_t{8000}}) {
        std::vector<std::vector<round_result>> results(relays.size());
        for (int round = 0; round < rounds; ++round)
            // A different relay goes first each round, so drift over time
            // does not favour one.
            for (std::size_t k = 0; k < relays.size(); ++k) {
                std::size_t which = (k + static_cast<std::size_t>(round)) % relays.size();
                round_result result;
                if (!run_round(relays[which], size, seconds, result))
                    return false;
                results[which].push_back(result);
            }
        std::vector<summary> summaries;
        summaries.reserve(results.size());
        for (const auto &relay_results : results)
            summaries.push_back(summarize(relay_results));
        for (std::size_t k = 0; k < relays.size(); ++k) {
            const summary &s = summaries[k];
            all_exact = all_exact && s.exact;
            std::printf("| %zu | %s | %.0f | %.2f | %ld | %.2f | %s | %.2f | %.2f |\n", size,
                        relays[k].name.c_str(), s.per_second, s.cpu_us, s.peak_rss_kb,
                        s.relayed_share, s.exact ? "yes" : "NO", s.cpu_us / summaries[2].cpu_us,
                        s.cpu_us / summaries[1].cpu_us);
        }
        std::fflush(stdout);
    }
    return all_exact;
}

// The relays under the foreign flood; prints the table and whether ostrivod
// met its target: every accepted datagram relayed in order, in every round,
// for at most 1.5 times its CPU time without the flood.
bool foreign_flood(const std::vector<relay_kind> &relays, long rounds)
{
    std::printf(
        "\nForeign flood: the source paces %llu datagrams of %zu bytes at %.0f/s, alone and "
        "while the foreign host floods the relay's port with datagrams of that size; %ld "
        "rounds each.\n\n",
        static_cast<unsigned long long>(PACED), PACED_SIZE, PACED_RATE, rounds);
    std::printf(
        "| relay | relayed, fewest | lost, all rounds | out of order | wrong | CPU s alone | "
        "CPU s flooded | flooded/alone, largest | foreign sent/s |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::vector<std::vector<paced_result>> alone(relays.size()), flooded(relays.size());
    for (int round = 0; round < rounds; ++round)
        for (std::size_t k = 0; k < relays.size(); ++k) {
            std::size_t which = (k + static_cast<std::size_t>(round)) % relays.size();
            paced_result quiet, loud;
            if (!run_paced_round(relays[which], false, quiet) ||
                !run_paced_round(relays[which], true, loud))
                return false;
            alone[which].push_back(quiet);
            flooded[which].push_back(loud);
        }
    bool met = true;
    for (std::size_t k = 0; k < relays.size(); ++k) {
        std::uint64_t fewest = PACED, lost = 0, out_of_order = 0, wrong = 0;
        double largest_ratio = 0;
        std::vector<double> cpu_alone, cpu_flooded, foreign_rate;
        for (std::size_t r = 0; r < flooded[k].size(); ++r) {
            const paced_result &quiet = alone[k][r], &loud = flooded[k][r];
            fewest = std::min(fewest, loud.arrived);
            lost += PACED - loud.arrived;
            out_of_order += loud.out_of_order;
            wrong += loud.altered + quiet.altered + quiet.out_of_order + (PACED - quiet.arrived);
            largest_ratio = std::max(largest_ratio, loud.cpu_seconds / quiet.cpu_seconds);
            cpu_alone.push_back(quiet.cpu_seconds);
            cpu_flooded.push_back(loud.cpu_seconds);
            foreign_rate.push_back(static_cast<double>(loud.foreign_sent) * PACED_RATE /
                                   static_cast<double>(PACED));
        }
        if (k == 0)
            met = fewest == PACED && out_of_order == 0 && wrong == 0 && largest_ratio <= 1.5;
        std::printf("| %s | %llu | %llu | %llu | %llu | %.2f | %.2f | %.2f | %.0f |\n",
                    relays[k].name.c_str(), static_cast<unsigned long long>(fewest),
                    static_cast<unsigned long long>(lost),
                    static_cast<unsigned long long>(out_of_order),
                    static_cast<unsigned long long>(wrong), median(cpu_alone), median(cpu_flooded),
                    largest_ratio, median(foreign_rate));
    }
    std::printf("\n%s: ostrivod %s its target.\n", met ? "met" : "NOT MET", met ? "met" : "missed");
    return met;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(
            stderr,
            "usage: %s OSTRIVOD FLOOR_RELAY [--rounds N] [--seconds S] [--only throughput|flood]\n",
            argv[0]);
        return 2;
    }
    long rounds = 5;
    double seconds = 2;
    std::string only;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--only") == 0)
            only = argv[i + 1];
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1L, std::strtol(argv[i + 1], nullptr, 10));
        else if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::max(0.2, std::strtod(argv[i + 1], nullptr));
    }
    std::string why = sandbox_enter();
    if (!why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    sandbox_write_settings(std::string("MOD_OSTRIVO_SRC_IPADDR=") + SOURCE +
                           "\nMOD_OSTRIVO_DST_IPADDR=" + DESTINATION +
                           "\nMOD_OSTRIVO_PORT=" + std::to_string(PORT) + "\n");

    // With two cores or more the relay gets one of its own; the sender and
    // the receiver share another.
    std::vector<std::string> pin;
    if (sysconf(_SC_NPROCESSORS_ONLN) >= 2) {
        cpu_set_t own;
        CPU_ZERO(&own);
        CPU_SET(0, &own);
        sched_setaffinity(0, sizeof own, &own);
        pin = {"taskset", "-c", "1"};
    }
    auto pinned = [&](std::vector<std::string> command) {
        command.insert(command.begin(), pin.begin(), pin.end());
        return command;
    };
    std::string port = std::to_string(PORT);
    std::vector<relay_kind> relays = {
        {"ostrivod", pinned({argv[1]})},
        {"socat",
         pinned({"socat", "-u", "-b", "65536", "UDP4-RECV:" + port + ",range=" + SOURCE + "/32",
                 std::string("UDP4-SENDTO:") + DESTINATION + ":" + port + ",broadcast"})},
        {"floor", pinned({argv[2], SOURCE, DESTINATION, port})},
    };

    std::mt19937 generate(1);
    pool.resize(65536 + 256);
    for (unsigned char &byte : pool)
        byte = static_cast<unsigned char>(generate());

    std::printf("%s\n\n", machine().c_str());
    bool good = true;
    if (only != "flood")
        good = throughput(relays, rounds, seconds) && good;
    if (only != "throughput")
        good = foreign_flood(relays, rounds) && good;
    return good ? 0 : 1;
}
