// The host measured from the outside, as a browser and a token see it, each figure beside a floor
// measured in the same run: per-message cost, start-up, token operations, listing scale, p11-kit's
// proxy and peak memory. Host and floor runs alternate so that both see the same load; every
// figure is a median. Prints Markdown.
//
//   p11bridge_bench_road --host DIR/p11bridge --proxy-host DIR2/p11bridge
//       --framing-floor PATH --framing-floor-nss PATH --token-floor PATH --module SO
//       --proxy-module SO --token CONF --token10 CONF --token100 CONF --id HEX --pin PIN
//       --domains TEXT --signature BASE64 --scratch DIR
//       --card-stack SCRIPT --card-wrapper SCRIPT --card-host DIR3/p11bridge --card-module SO
//       --card-id HEX --card-pin PIN --ec256 CONF --ec256-id HEX --ec384 CONF --ec384-id HEX
//       --card-ec CARD --skip-behind CONF --skip-first CONF --skip-id HEX [--only SECTION]
//
// The host beside --host loads SoftHSM2 (--module), the one beside --proxy-host loads the proxy;
// each CONF is a SoftHSM2 configuration whose token holds 1, 10 or 100 signing certificates, the
// key of the certificate with identifier --id among them. DIR takes callgrind's output and the
// card stack's files. The card section starts the virtual card with tests/card/card-stack.sh
// (--card-stack); the host beside --card-host loads OpenSC (--card-module), and the proxy's host
// runs under tests/card/opensc-only.sh (--card-wrapper) so that the proxy loads OpenSC alone.
// --ec256 and --ec384 are tokens with one EC key and its certificate; --card-ec the card-stack
// argument of a card with an EC P-256 key in 9C. --skip-behind is a store of two tokens, one
// without signing certificates listed first and one with the certificate --skip-id and its key;
// --skip-first the same two tokens in the other order.
// SECTION: messages, startup, token, scale, proxy, memory, card, ec, skip. scripts/bench.sh sets
// all of this up.
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace p11bridge::bench {
namespace {

using Clock = std::chrono::steady_clock;
using Samples = std::vector<double>;

constexpr int kMessages = 20000;
constexpr char kTypeRequest[] = R"({"command":6,"pinChar":"7"})";
constexpr char kBackspaceRequest[] = R"({"command":7})";
constexpr char kListRequest[] = R"({"command":2})";

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(Samples samples) {
    if (samples.empty()) throw std::runtime_error("no samples");
    std::sort(samples.begin(), samples.end());
    std::size_t middle = samples.size() / 2;
    return samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Base64(const std::string& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
        for (std::size_t k = 0; k < 4; ++k)
            text += i + k <= bytes.size() ? kAlphabet[(n >> (18 - 6 * k)) & 63] : '=';
    }
    return text;
}

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

struct Config {
    std::map<std::string, std::string> options;

    const std::string& operator[](const std::string& name) const {
        auto found = options.find(name);
        if (found == options.end()) throw std::runtime_error("missing option --" + name);
        return found->second;
    }
    std::string Initialize() const {
        return R"({"command":0,"domains":")" + (*this)["domains"] + R"(","signature":")" +
               (*this)["signature"] + R"(","currentDomain":"https://)" + (*this)["domains"] +
               R"(","caSubjectNames":""})";
    }
    std::string Fetch() const {
        return R"({"command":4,"certId":")" + Base64(FromHex((*this)["id"])) + R"("})";
    }
    // A hash of --hash-bytes bytes (32 unless given), as the token floor's "sign:BYTES" signs.
    std::string Sign() const {
        auto bytes = options.find("hash-bytes");
        const std::size_t length = bytes == options.end() ? 32 : std::stoul(bytes->second);
        return R"({"command":5,"certId":")" + Base64(FromHex((*this)["id"])) + R"(","digest":")" +
               Base64(std::string(length, '\x5a')) + R"("})";
    }
    std::string Request(const std::string& operation) const {
        if (operation == "list") return kListRequest;
        return operation == "fetch" ? Fetch() : Sign();
    }
};

// The Markdown report: goals gathered for the summary, sections as they are measured.
class Report {
public:
    // The command that measures the sections that follow again, on their own.
    void Reproduce(const std::string& command) { command_ = command; }
    void Section(const std::string& title, const std::string& text) {
        body_ << "\n## " << title << "\n\n"
              << text << " To measure it again: `" << command_ << "`.\n";
    }
    void TableHead(const std::string& host, const std::string& floor) {
        body_ << "\n| measure | " << host << " | " << floor << " | ratio | goal |\n"
              << "|---|---:|---:|---:|---|\n";
    }
    // One measured pair; with a goal, the ratio is judged against it and kept for the summary.
    void Row(const std::string& measure, double host, double floor, const std::string& unit,
             int decimals, double goal = 0) {
        double ratio = host / floor;
        std::string verdict;
        if (goal > 0) {
            verdict = "≤ " + Fixed(goal, 2) + "x: " + (ratio <= goal ? "met" : "**missed**");
            goals_.push_back("| " + measure + " | " + Fixed(ratio, 3) + "x | " + verdict + " |");
        }
        body_ << "| " << measure << " | " << Fixed(host, decimals) << ' ' << unit << " | "
              << Fixed(floor, decimals) << ' ' << unit << " | " << Fixed(ratio, 2) << "x | "
              << verdict << " |\n";
    }
    void Goal(const std::string& measure, const std::string& value, bool met,
              const std::string& goal) {
        goals_.push_back("| " + measure + " | " + value + " | " + goal + ": " +
                         (met ? "met" : "**missed**") + " |");
    }
    void Text(const std::string& text) { body_ << text; }

    void Print(std::ostream& out) const {
        if (!goals_.empty()) {
            out << "## Goals\n\n| figure | measured | goal |\n|---|---:|---|\n";
            for (const std::string& goal : goals_) out << goal << "\n";
        }
        out << body_.str();
    }

private:
    std::vector<std::string> goals_;
    std::ostringstream body_;
    std::string command_;
};

// One host conversation kept open across measurements, as a page keeps its port.
class HostSession {
public:
    HostSession(const Config& config, const std::vector<std::string>& command,
                const std::string& token)
        : config_(config), process_(command, token) {
        Expect(Exchange(config.Initialize()), "InitializeComponent OK");
    }
    // The PIN road once: a signature that asks for the PIN, the PIN, a signature that succeeds.
    HostSession& WithPin() {
        Expect(Exchange(config_.Sign()), R"("missingPin" : true)");
        Expect(Exchange(R"({"command":3,"pin":")" + config_["pin"] + R"("})"), R"("ok" : true)");
        Expect(Exchange(config_.Sign()), R"("error" : false)");
        return *this;
    }
    std::string Exchange(const std::string& request) {
        process_.Send(request);
        return process_.Receive();
    }
    // Milliseconds from the request written to the reply read; the reply must carry no error.
    double Timed(const std::string& request) {
        auto start = Clock::now();
        std::string reply = Exchange(request);
        double elapsed = MillisecondsSince(start);
        Expect(reply, R"("error" : false)");
        return elapsed;
    }
    long Finish() { return process_.Finish(); }
    pid_t Pid() const { return process_.Pid(); }

    static void Expect(const std::string& reply, const std::string& part) {
        if (reply.find(part) == std::string::npos)
            throw std::runtime_error("unexpected reply (wanted " + part + "):\n" + reply);
    }

private:
    const Config& config_;
    ChildProcess process_;
};

// The raw program's own timings, in milliseconds, of COUNT rounds of OPERATIONS; run under the
// command prefix ARGV when one is given.
Samples FloorTimes(const Config& config, const std::string& module, const std::string& token,
                   int count, const std::vector<std::string>& operations, long* peakKiB = nullptr,
                   std::vector<std::string> argv = {}) {
    argv.insert(argv.end(), {config["token-floor"], module, config["id"], config["pin"],
                             std::to_string(count)});
    argv.insert(argv.end(), operations.begin(), operations.end());
    ChildProcess floor(argv, token);
    Samples samples;
    for (std::string line; !(line = floor.ReadLine()).empty();)
        samples.push_back(std::stod(line.substr(line.find(' ') + 1)) / 1e6);
    long peak = floor.Finish();
    if (peakKiB) *peakKiB = peak;
    if (samples.size() != count * operations.size())
        throw std::runtime_error("the token floor stopped early");
    return samples;
}

// The raw program kept running for one operation, which it makes whenever asked, so that host
// and raw program can take turns operation by operation. It loads MODULE (--module when empty),
// run under the command prefix ARGV when one is given.
class RawSession {
public:
    RawSession(const Config& config, const std::string& token, const std::string& operation,
               const std::string& module = "", std::vector<std::string> argv = {})
        : process_(Command(config, operation, module.empty() ? config["module"] : module, argv),
                   token) {}
    // Milliseconds, as the raw program measures its own calls; INITIALIZE, when given, takes the
    // part of them that C_Initialize took.
    double Timed(double* initialize = nullptr) {
        process_.WriteLine("go");
        std::istringstream line(process_.ReadLine());
        std::string operation;
        double total = -1, initializeNs = 0;
        line >> operation >> total >> initializeNs;
        if (total < 0) throw std::runtime_error("the token floor failed");
        if (initialize) *initialize = initializeNs / 1e6;
        return total / 1e6;
    }
    pid_t Pid() const { return process_.Pid(); }

private:
    static std::vector<std::string> Command(const Config& config, const std::string& operation,
                                            const std::string& module,
                                            std::vector<std::string> argv) {
        argv.insert(argv.end(),
                    {config["token-floor"], module, config["id"], config["pin"], "-", operation});
        return argv;
    }

    ChildProcess process_;
};

bool StartedAnything(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find("p11bridge-pkcs11") != std::string::npos ||
            line.find("softhsm") != std::string::npos || line.find("softokn") != std::string::npos)
            return true;
    return false;
}

// Microseconds per PIN request over MESSAGES requests to a running program, one at a time.
double RoundTrip(ChildProcess& process, int messages) {
    auto start = Clock::now();
    for (int i = 0; i < messages; ++i) {
        process.Send(i % 2 ? kBackspaceRequest : kTypeRequest);
        process.Receive();
    }
    return MillisecondsSince(start) * 1000 / messages;
}

// The command prefix that runs a program under callgrind, which counts every instruction.
std::vector<std::string> Callgrind(const Config& config) {
    return {"valgrind", "-q", "--tool=callgrind",
            "--callgrind-out-file=" + config["scratch"] + "/callgrind.out"};
}

double CallgrindTotal(const Config& config) {
    std::ifstream out(config["scratch"] + "/callgrind.out");
    for (std::string line; std::getline(out, line);)
        if (line.rfind("totals:", 0) == 0) return std::stod(line.substr(7));
    throw std::runtime_error("no callgrind totals");
}

// Instructions per operation of the host and of the raw program: the difference between runs of
// LOW and HIGH operations, so that start-up, Initialize and the PIN road cancel out.
std::pair<double, double> Instructions(const Config& config, const std::string& operation,
                                       const std::string& token, int low = 5, int high = 15) {
    auto host = [&](int count) {
        std::vector<std::string> command = Callgrind(config);
        command.push_back(config["host"]);
        {
            HostSession session(config, command, token);
            if (operation.rfind("sign", 0) == 0) session.WithPin();
            for (int i = 0; i < count; ++i) session.Timed(config.Request(operation));
        }
        return CallgrindTotal(config);
    };
    auto raw = [&](int count) {
        FloorTimes(config, config["module"], token, count, {operation}, nullptr, Callgrind(config));
        return CallgrindTotal(config);
    };
    return {(host(high) - host(low)) / (high - low), (raw(high) - raw(low)) / (high - low)};
}

// Keeps the driver, and every program it starts meanwhile, on the processor it runs on now.
// With processors idle, the scheduler wakes the host on the other one at every message, while
// it wakes a floor that does next to nothing beside its writer; waking an idle processor (in a
// virtual machine above all) costs more than the host's work. On one processor both pay alike.
class OneProcessor {
public:
    OneProcessor() {
        sched_getaffinity(0, sizeof saved_, &saved_);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        sched_setaffinity(0, sizeof one, &one);
    }
    ~OneProcessor() { sched_setaffinity(0, sizeof saved_, &saved_); }
    OneProcessor(const OneProcessor&) = delete;
    OneProcessor& operator=(const OneProcessor&) = delete;

private:
    cpu_set_t saved_;
};

// The size of the host's reply to a PIN request, which the framing floor answers with.
std::string PinReplyBytes(const Config& config) {
    ChildProcess host({config["host"]}, "");
    host.Send(kTypeRequest);
    std::string reply = host.Receive();
    HostSession::Expect(reply, R"("ok" : true)");
    return std::to_string(reply.size());
}

void PerMessage(const Config& config, Report& report) {
    const std::string replyBytes = PinReplyBytes(config);
    auto measure = [&](const std::string& label, double goal) {
        constexpr int kChunk = 100;
        ChildProcess hostProcess({config["host"]}, "");
        ChildProcess floorProcess({config["framing-floor"], replyBytes}, "");
        Samples host, floor;
        for (int chunk = 0; chunk < kMessages / kChunk; ++chunk) {
            host.push_back(RoundTrip(hostProcess, kChunk));
            floor.push_back(RoundTrip(floorProcess, kChunk));
        }
        report.Row(label, Median(host), Median(floor), "µs", 1, goal);
    };
    report.Section(
        "1. Per message",
        "20,000 PIN requests (type a character, backspace, in turn), each written to the "
        "process's stdin and its reply read back before the next, as the browser "
        "does. Floor: `bench/floors/framing_floor.c`, which reads the same frames "
        "and answers each with a fixed reply of the host's size (" +
            replyBytes +
            " bytes). Host and floor take turns in chunks of 100 requests; the figure is the "
            "median chunk. Judged with driver, host and floor on one processor; the second row "
            "lets the scheduler place them (see the profiles at the end).");
    report.TableHead("host", "floor");
    {
        OneProcessor pinned;
        measure("one PIN request, round trip", 3);
    }
    measure("the same, on free processors", 0);
}

// Milliseconds from starting the program to the reply to its first PIN request, and the CPU
// time the program used from start to exit.
void FirstPinReply(const std::vector<std::string>& argv, Samples& wall, Samples& cpu,
                   bool* startedEarly = nullptr) {
    auto start = Clock::now();
    ChildProcess process(argv, "");
    process.Send(kTypeRequest);
    process.Receive();
    wall.push_back(MillisecondsSince(start));
    if (startedEarly) *startedEarly = *startedEarly || StartedAnything(process.Pid());
    process.Finish();
    cpu.push_back(process.CpuMilliseconds());
}

void StartUp(const Config& config, Report& report) {
    constexpr int kRounds = 101;
    const std::string replyBytes = PinReplyBytes(config);
    Samples pinHost, pinFloor, pinFloorNss, cpuHost, cpuFloor, cpuFloorNss, listHost, listFloor;
    bool startedEarly = false;
    for (int round = 0; round < kRounds; ++round) {
        FirstPinReply({config["host"]}, pinHost, cpuHost, &startedEarly);
        FirstPinReply({config["framing-floor"], replyBytes}, pinFloor, cpuFloor);
        FirstPinReply({config["framing-floor-nss"], replyBytes}, pinFloorNss, cpuFloorNss);
        auto start = Clock::now();
        {
            HostSession host(config, {config["host"]}, config["token"]);
            host.Timed(kListRequest);
            listHost.push_back(MillisecondsSince(start));
        }
        start = Clock::now();
        FloorTimes(config, config["module"], config["token"], 1, {"list"});
        listFloor.push_back(MillisecondsSince(start));
    }
    report.Section(
        "2. Start-up",
        "From the moment the process is started to the first reply. PIN: one keystroke request; "
        "floor: the framing floor started and answering the same request. Listing: Initialize "
        "and a listing on the 1-certificate SoftHSM2 token; floor: `bench/floors/token_floor.c` "
        "started, loading SoftHSM2 and making the listing's PKCS#11 calls, to its exit. The "
        "rows \"floor linked with NSS\" set the host against the framing floor linked with the "
        "NSS libraries the host links (`p11bridge_floor_framing_nss`): what is left once "
        "loading them is paid. The CPU rows count user and system time from start to exit, "
        "which waiting for a processor does not change. Median of " +
            std::to_string(kRounds) + " starts of each, in turn.");
    report.TableHead("host", "floor");
    report.Row("start to first PIN reply", Median(pinHost), Median(pinFloor), "ms", 2, 2);
    report.Row("start to first listing", Median(listHost), Median(listFloor), "ms", 2, 2);
    report.Row("start to first PIN reply, floor linked with NSS", Median(pinHost),
               Median(pinFloorNss), "ms", 2);
    report.Row("CPU time of a start and one PIN request", Median(cpuHost), Median(cpuFloor), "ms",
               2);
    report.Row("the same, floor linked with NSS", Median(cpuHost), Median(cpuFloorNss), "ms", 2);
    report.Text(std::string("\nNothing started before a request needs it: after the first PIN "
                            "reply the host has ") +
                (startedEarly ? "**loaded the PKCS#11 module or started NSS**"
                              : "neither loaded the PKCS#11 module nor started NSS") +
                " (its memory map, read in every round).\n");
    report.Goal("nothing started before a request needs it", startedEarly ? "no" : "yes",
                !startedEarly, "yes");
}

void TokenOperations(const Config& config, Report& report) {
    constexpr int kTurns = 200;
    const std::string replyBytes = PinReplyBytes(config);
    report.Section(
        "3. Token operations on SoftHSM2",
        "One operation, request written to reply read, in a host that lives through them all "
        "(the PIN given once), on the 1-certificate token. Floor: `bench/floors/token_floor.c` "
        "making the same PKCS#11 calls in the same order, C_Initialize to C_Finalize per "
        "operation, timed inside itself. Host, raw program and a bare framed round trip "
        "through pipes (the framing floor) take turns, one operation each; median of " +
            std::to_string(kTurns) + " turns, with all of them on one processor (as in 1).");
    report.TableHead("host", "raw PKCS#11");
    std::ostringstream profile;
    profile << "\n| operation | host − raw | bare round trip | instructions, host | "
               "instructions, raw | instruction ratio |\n|---|---:|---:|---:|---:|---:|\n";
    struct Medians {
        double host, raw, roundTrip;
    };
    auto measure = [&](const std::string& operation) {
        HostSession host(config, {config["host"]}, config["token"]);
        host.WithPin();
        RawSession raw(config, config["token"], operation);
        ChildProcess framing({config["framing-floor"], replyBytes}, "");
        Samples hostTimes, floorTimes, roundTrips;
        for (int turn = 0; turn < kTurns; ++turn) {
            hostTimes.push_back(host.Timed(config.Request(operation)));
            floorTimes.push_back(raw.Timed());
            roundTrips.push_back(RoundTrip(framing, 1));
        }
        return Medians{Median(hostTimes), Median(floorTimes), Median(roundTrips)};
    };
    std::vector<std::string> free;
    for (const auto& [operation, goal] : std::vector<std::pair<std::string, double>>{
             {"sign", 1.05}, {"fetch", 1.05}, {"list", 1.25}}) {
        Medians pinned;
        {
            OneProcessor one;
            pinned = measure(operation);
        }
        report.Row(operation + " on SoftHSM2", pinned.host, pinned.raw, "ms", 3, goal);
        Medians unpinned = measure(operation);
        free.push_back(operation + " " + Fixed(unpinned.host, 3) + " ms against " +
                       Fixed(unpinned.raw, 3) + " ms (" + Fixed(unpinned.host / unpinned.raw, 2) +
                       "x)");
        auto [hostInstructions, rawInstructions] = Instructions(config, operation, config["token"]);
        profile << "| " << operation << " | " << Fixed((pinned.host - pinned.raw) * 1000, 0)
                << " µs | " << Fixed(pinned.roundTrip, 0) << " µs | " << Fixed(hostInstructions, 0)
                << " | " << Fixed(rawInstructions, 0) << " | "
                << Fixed(hostInstructions / rawInstructions, 3) << "x |\n";
    }
    report.Text("\nOn free processors, where the scheduler places host and raw program: " +
                free[0] + ", " + free[1] + ", " + free[2] + ".\n");
    report.Text(
        "\nWhere the difference goes: the host's time over the raw program's, beside the "
        "cost of one framed request and reply through pipes with no work at all, and "
        "the instructions each spends per operation as callgrind counts them (the "
        "difference between 15 and 5 operations, divided by 10: repeatable, and blind "
        "to the load on the machine).\n" +
        profile.str());
}

void ListingScale(const Config& config, Report& report) {
    report.Section("4. Listing scale",
                   "A listing on tokens holding 1, 10 and 100 signing certificates (one "
                   "SoftHSM2 token each), host and raw program in turn on one processor as "
                   "in 3. Median of 40 listings of each; instructions as in 3, from runs of 2 and "
                   "6 listings.");
    report.TableHead("host", "raw PKCS#11");
    std::ostringstream profile;
    profile << "\n| certificates | instructions, host | instructions, raw | ratio | host − raw "
               "|\n|---:|---:|---:|---:|---:|\n";
    std::vector<double> hostShare;  // the host's instructions over the raw program's, per size
    for (const auto& [count, token] : std::vector<std::pair<int, std::string>>{
             {1, "token"}, {10, "token10"}, {100, "token100"}}) {
        Samples hostTimes, floorTimes;
        {
            OneProcessor one;
            HostSession host(config, {config["host"]}, config[token]);
            RawSession raw(config, config[token], "list");
            for (int turn = 0; turn < 40; ++turn) {
                hostTimes.push_back(host.Timed(kListRequest));
                floorTimes.push_back(raw.Timed());
            }
        }
        report.Row("list, " + std::to_string(count) + " certificate" + (count > 1 ? "s" : ""),
                   Median(hostTimes), Median(floorTimes), "ms", 3, 1.25);
        auto [hostInstructions, rawInstructions] =
            Instructions(config, "list", config[token], 2, 6);
        hostShare.push_back(hostInstructions - rawInstructions);
        profile << "| " << count << " | " << Fixed(hostInstructions, 0) << " | "
                << Fixed(rawInstructions, 0) << " | "
                << Fixed(hostInstructions / rawInstructions, 3) << "x | "
                << Fixed(hostInstructions - rawInstructions, 0) << " |\n";
    }
    double first = (hostShare[1] - hostShare[0]) / 9;
    double second = (hostShare[2] - hostShare[1]) / 90;
    report.Text(
        "\nThe token's own listing grows faster than linearly (the raw program's column); "
        "what the host adds to it is its own work per certificate (decoding, checking and "
        "formatting it), " +
        Fixed(first, 0) + " instructions per certificate from 1 to 10 and " + Fixed(second, 0) +
        " from 10 to 100: linear when the two are equal.\n" + profile.str());
    report.Goal(
        "the host's work grows linearly with the certificates (per certificate, 10→100 "
        "over 1→10)",
        Fixed(second / first, 2) + "x", second / first <= 1.25 && second / first >= 0.8,
        "0.8x to 1.25x");
}

void Proxy(const Config& config, Report& report) {
    constexpr int kRounds = 10, kPerRound = 10;
    HostSession direct(config, {config["host"]}, config["token"]);
    HostSession proxied(config, {config["proxy-host"]}, config["token"]);
    direct.WithPin();
    proxied.WithPin();
    report.Section("5. Through p11-kit's proxy",
                   "The installer's default module, `" + config["proxy-module"] +
                       "`, which reaches SoftHSM2 through p11-kit's registry (and loads every "
                       "module registered there), against SoftHSM2 linked directly. Two hosts, "
                       "one operation each in turn; median of " +
                       std::to_string(kRounds * kPerRound) + " operations, and of 21 starts.");
    report.TableHead("through the proxy", "SoftHSM2 directly");
    std::string cost;
    for (const std::string operation : {"sign", "fetch", "list"}) {
        Samples viaProxy, directly;
        for (int i = 0; i < kRounds * kPerRound; ++i) {
            viaProxy.push_back(proxied.Timed(config.Request(operation)));
            directly.push_back(direct.Timed(config.Request(operation)));
        }
        report.Row(operation, Median(viaProxy), Median(directly), "ms", 3);
        cost += Fixed(Median(viaProxy) - Median(directly), 2) + " ms per " + operation + ", ";
    }
    Samples startProxy, startDirect;
    for (int round = 0; round < 21; ++round) {
        for (auto [host, samples] :
             {std::pair{"proxy-host", &startProxy}, {"host", &startDirect}}) {
            auto start = Clock::now();
            HostSession session(config, {config[host]}, config["token"]);
            session.Timed(kListRequest);
            samples->push_back(MillisecondsSince(start));
        }
    }
    report.Row("start to first listing", Median(startProxy), Median(startDirect), "ms", 2);
    report.Text("\nThe cost of the default choice on this machine: " + cost + "and " +
                Fixed(Median(startProxy) - Median(startDirect), 1) +
                " ms more to the first listing of a fresh host. It is paid in every operation: "
                "each one initialises the proxy, which initialises every module "
                "registered with p11-kit, and finalises them all again. Memory: section 6.\n");
}

void Memory(const Config& config, Report& report) {
    auto hostPeak = [&config](const std::string& host) {
        HostSession session(config, {host}, config["token"]);
        session.WithPin();
        for (int i = 0; i < 50; ++i) {
            session.Timed(config.Sign());
            session.Timed(kListRequest);
        }
        return static_cast<double>(session.Finish()) / 1024;
    };
    auto floorPeak = [&config](const std::string& module) {
        long peak = 0;
        FloorTimes(config, module, config["token"], 50, {"sign", "list"}, &peak);
        return static_cast<double>(peak) / 1024;
    };
    Samples direct, proxied, floorDirect, floorProxied;
    for (int round = 0; round < 3; ++round) {
        direct.push_back(hostPeak(config["host"]));
        floorDirect.push_back(floorPeak(config["module"]));
        proxied.push_back(hostPeak(config["proxy-host"]));
        floorProxied.push_back(floorPeak(config["proxy-module"]));
    }
    report.Section("6. Memory",
                   "Peak resident size (the kernel's maxrss at exit) over a session of 50 "
                   "signatures and 50 listings, after Initialize and the PIN. Floor: the raw "
                   "program making the same operations on the same module. Median of 3.");
    report.TableHead("host", "raw PKCS#11");
    report.Row("SoftHSM2 directly", Median(direct), Median(floorDirect), "MiB", 1);
    report.Row("through p11-kit's proxy", Median(proxied), Median(floorProxied), "MiB", 1);
    report.Goal("peak resident size, SoftHSM2 directly", Fixed(Median(direct), 1) + " MiB",
                Median(direct) < 12, "< 12 MiB");
}

// What the virtual card writes to the file PIV_CARD_APDU_LOG names: one line per command, its
// header (CLA INS P1 P2), the answer's length and the microseconds the card took to answer.
class ApduLog {
public:
    struct Commands {
        double count = 0, cardMilliseconds = 0;
        std::map<std::string, int> kinds;  // by name, in the order names sort
    };
    explicit ApduLog(std::string path) : path_(std::move(path)) {}
    // The commands answered since the last call. The card writes each line before it answers,
    // so a frame's lines are all there when the frame returns.
    Commands Take() {
        static const std::map<std::string, std::string> kNames = {
            {"a4", "SELECT"},       {"ca", "GET DATA"}, {"cb", "GET DATA"},
            {"c0", "GET RESPONSE"}, {"20", "VERIFY"},   {"87", "GENERAL AUTHENTICATE"}};
        std::ifstream in(path_);
        in.seekg(offset_);
        Commands commands;
        std::string line;
        while (std::getline(in, line) && !in.eof()) {
            offset_ += static_cast<std::streamoff>(line.size() + 1);
            std::istringstream fields(line);
            std::string header;
            double answerBytes = 0, microseconds = 0;
            fields >> header >> answerBytes >> microseconds;
            auto name = kNames.find(header.substr(2, 2));
            commands.kinds[name == kNames.end() ? "INS " + header.substr(2, 2) : name->second]++;
            commands.count += 1;
            commands.cardMilliseconds += microseconds / 1000;
        }
        return commands;
    }

private:
    std::string path_;
    std::streamoff offset_ = 0;
};

// Milliseconds that process PID, all its threads together, has run on a processor so far.
double ProcessorMilliseconds(pid_t pid) {
    double nanoseconds = 0;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream schedstat(task.path() / "schedstat");
        double ran = 0;
        schedstat >> ran;
        nanoseconds += ran;
    }
    return nanoseconds / 1e6;
}

// The first line the card stack writes to STATUS: "ready", "skip: WHY" or "fail: WHY".
std::string AwaitCardStack(const std::string& status) {
    for (int tenth = 0; tenth < 3000; ++tenth) {
        std::ifstream in(status);
        std::string line;
        if (std::getline(in, line) && !line.empty()) return line;
        ::usleep(100000);
    }
    return "fail: the card stack did not start within 5 minutes";
}

// The median of counts, with their least and greatest when they differ.
std::string Spread(const Samples& counts) {
    auto [least, most] = std::minmax_element(counts.begin(), counts.end());
    std::string median = Fixed(Median(counts), 0);
    return *least == *most ? median
                           : median + " (" + Fixed(*least, 0) + "–" + Fixed(*most, 0) + ")";
}

std::string Kinds(const ApduLog::Commands& commands) {
    std::string text;
    for (const auto& [name, count] : commands.kinds)
        text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + name;
    return text;
}

void Card(const Config& config, Report& report) {
    constexpr int kTurns = 75;
    const std::string dir = config["scratch"] + "/card";
    ::mkdir(dir.c_str(), 0700);
    ::setenv("PIV_CARD_APDU_LOG", (dir + "/apdu.log").c_str(), 1);
    ::setenv("PCSCLITE_CSOCK_NAME", (dir + "/stack/run/pcscd/pcscd.comm").c_str(), 1);
    // The stack lives until its input ends, when this goes out of scope.
    ChildProcess stack({config["card-stack"], dir + "/stack"}, "");
    const std::string status = AwaitCardStack(dir + "/stack/status");
    const std::string title = "7. On a smart card";
    if (status != "ready") {
        report.Section(title, "Not measured: the virtual card could not start (" + status + ").");
        return;
    }
    Config card = config;
    card.options["id"] = config["card-id"];
    card.options["pin"] = config["card-pin"];
    const std::string pinRequest = R"({"command":3,"pin":")" + card["pin"] + R"("})";
    ApduLog apdus(dir + "/apdu.log");
    apdus.Take();  // the stack's own look at the card

    report.Section(
        title,
        "A listing and a signature on a virtual PIV card (`tests/card/`: pcscd with vpcd's "
        "reader, the card a Python program answering APDUs), through OpenSC's module `" +
            config["card-module"] +
            "` directly and through p11-kit's proxy loading OpenSC alone. The card's "
            "signing key needs the PIN for each use: the host logs in, and after C_SignInit "
            "logs in again for the key (CKU_CONTEXT_SPECIFIC), which spends the PIN. Floor: "
            "`bench/floors/token_floor.c` making the same calls on the same card, timed inside "
            "itself. One frame each in turn (the order swapped every turn), on free processors "
            "since the card stack is four processes; median of " +
            std::to_string(kTurns) +
            " turns. The card logs every command it answers, and how "
            "long it took, which gives the APDUs per frame.");
    report.TableHead("host", "raw PKCS#11");
    std::ostringstream where, roads, kinds;
    where << "\n| frame | C_Initialize | its share | APDUs, host / raw | of them C_Initialize's | "
             "card's time, host / raw | processor time, host / raw |\n"
             "|---|---:|---:|---:|---:|---:|---:|\n";
    struct Road {
        std::string name, module;
        std::vector<std::string> host, prefix;
    };
    const std::vector<std::string> wrapper = {config["card-wrapper"], dir + "/p11-kit"};
    std::vector<std::string> proxyHost = wrapper;
    proxyHost.push_back(config["proxy-host"]);
    for (const Road& road :
         {Road{"OpenSC directly", config["card-module"], {config["card-host"]}, {}},
          Road{"through p11-kit's proxy", config["proxy-module"], proxyHost, wrapper}}) {
        for (const std::string operation : {"list", "sign"}) {
            HostSession host(card, road.host, "");
            RawSession raw(card, "", operation, road.module, road.prefix);
            RawSession initialize(card, "", "init", road.module, road.prefix);
            Samples hostTimes, rawTimes, initTimes, hostApdus, rawApdus, initApdus, hostCard,
                rawCard, hostProcessor, rawProcessor, askTimes, wholeTimes;
            ApduLog::Commands rawLast;
            for (int turn = 0; turn < kTurns; ++turn) {
                auto hostTurn = [&] {
                    auto start = Clock::now();
                    if (operation == "sign") {
                        // As a page signs on this card: refused for the PIN, the PIN, again.
                        HostSession::Expect(host.Exchange(card.Sign()), R"("missingPin" : true)");
                        askTimes.push_back(MillisecondsSince(start));
                        apdus.Take();
                        HostSession::Expect(host.Exchange(pinRequest), R"("ok" : true)");
                    }
                    double processor = ProcessorMilliseconds(host.Pid());
                    hostTimes.push_back(host.Timed(card.Request(operation)));
                    hostProcessor.push_back(ProcessorMilliseconds(host.Pid()) - processor);
                    wholeTimes.push_back(MillisecondsSince(start));
                    ApduLog::Commands commands = apdus.Take();
                    hostApdus.push_back(commands.count);
                    hostCard.push_back(commands.cardMilliseconds);
                };
                auto rawTurn = [&] {
                    double init = 0;
                    double processor = ProcessorMilliseconds(raw.Pid());
                    rawTimes.push_back(raw.Timed(&init));
                    rawProcessor.push_back(ProcessorMilliseconds(raw.Pid()) - processor);
                    initTimes.push_back(init);
                    rawLast = apdus.Take();
                    rawApdus.push_back(rawLast.count);
                    rawCard.push_back(rawLast.cardMilliseconds);
                };
                apdus.Take();
                if (turn % 2) {
                    hostTurn();
                    rawTurn();
                } else {
                    rawTurn();
                    hostTurn();
                }
                initialize.Timed();
                initApdus.push_back(apdus.Take().count);
            }
            const std::string frame = operation + ", " + road.name;
            report.Row(frame, Median(hostTimes), Median(rawTimes), "ms", 1, 1.10);
            double init = Median(initTimes);
            where << "| " << frame << " | " << Fixed(init, 1) << " ms | "
                  << Fixed(100 * init / Median(rawTimes), 0) << "% | " << Spread(hostApdus) << " / "
                  << Spread(rawApdus) << " | " << Spread(initApdus) << " | "
                  << Fixed(Median(hostCard), 1) << " / " << Fixed(Median(rawCard), 1) << " ms | "
                  << Fixed(Median(hostProcessor), 2) << " / " << Fixed(Median(rawProcessor), 2)
                  << " ms |\n";
            kinds << "- " << frame << ": " << Kinds(rawLast) << ".\n";
            if (operation == "sign")
                roads << "- " << road.name << ": " << Fixed(Median(wholeTimes), 1) << " ms, "
                      << Fixed(Median(askTimes), 1) << " ms of them the refusal.\n";
        }
    }
    report.Text(
        "\nWhere the time goes: C_Initialize in the raw program's frame (median, and its "
        "share of the median frame); the APDUs of a frame, host and raw program, and how many a "
        "bare C_Initialize and C_Finalize make (with the least and most, where they differed); the "
        "card's own time answering a frame's APDUs "
        "(a signature's is mostly its RSA, in Python); and the processor time each program "
        "itself spent in a frame, OpenSC and p11-kit included (`/proc/PID/task/*/schedstat`). "
        "The rest of a frame is waiting on pcscd, vpcd and the card.\n" +
        where.str() + "\nThe commands of one raw frame, by kind:\n\n" + kinds.str() +
        "\nA page's signature on this card is more than the signing frame: the key's PIN is "
        "spent by every signature, so the request is first refused for the PIN (a frame of its "
        "own, reading the token's identity), the page sends the PIN, and the request comes "
        "again. Request to signature, median:\n\n" +
        roads.str());
    ::unsetenv("PCSCLITE_CSOCK_NAME");
    ::unsetenv("PIV_CARD_APDU_LOG");
}

// Two measures taken in turns, ROUNDS rounds of TURNS turns, each round with fresh processes (so
// that one slow start or one busy stretch of the machine stays in its round): the medians of
// all turns, and each round's ratio of its medians, which shows how far the figure wanders.
struct Paired {
    Samples first, second, ratios;

    template <typename First, typename Second>
    static Paired Measure(int rounds, int turns,
                          const std::function<std::unique_ptr<First>()>& startFirst,
                          const std::function<std::unique_ptr<Second>()>& startSecond,
                          const std::function<double(First&)>& timeFirst,
                          const std::function<double(Second&)>& timeSecond) {
        Paired paired;
        for (int round = 0; round < rounds; ++round) {
            std::unique_ptr<First> a = startFirst();
            std::unique_ptr<Second> b = startSecond();
            Samples x, y;
            for (int turn = 0; turn < turns; ++turn) {
                // The order swapped every turn, so that neither always runs on a warm cache.
                if (turn % 2) {
                    x.push_back(timeFirst(*a));
                    y.push_back(timeSecond(*b));
                } else {
                    y.push_back(timeSecond(*b));
                    x.push_back(timeFirst(*a));
                }
            }
            paired.ratios.push_back(Median(x) / Median(y));
            paired.first.insert(paired.first.end(), x.begin(), x.end());
            paired.second.insert(paired.second.end(), y.begin(), y.end());
        }
        return paired;
    }
    std::string RatioSpread() const {
        auto [least, most] = std::minmax_element(ratios.begin(), ratios.end());
        return Fixed(*least, 3) + "–" + Fixed(*most, 3) + "x";
    }
};

void EcKeys(const Config& config, Report& report) {
    constexpr int kRounds = 5, kTurns = 60, kCardTurns = 40;
    report.Section(
        "8. EC keys",
        "A signature with an EC key (CKM_ECDSA over the hash as given), request written to reply "
        "read, in a host that lives through them all (the PIN given once), against "
        "`bench/floors/token_floor.c` making the calls a program must make for it on the same "
        "token: C_Initialize, the certificate with the identifier read (the host signs only "
        "with a listed certificate's key, and learns the key's type from it), the token's "
        "information, C_Login, one search for a key of that type, C_SignInit, C_Sign, C_Logout, "
        "C_Finalize. Host and raw program in turn, one signature each, on one processor (as in "
        "3); " +
            std::to_string(kRounds) + " rounds of " + std::to_string(kTurns) +
            " turns with fresh processes, medians of all turns, and the least and greatest of "
            "the rounds' ratios. P-256 signs a 32-byte hash, P-384 a 48-byte one. On the card "
            "(as in 7, OpenSC directly, a key that needs the PIN for each use): each host turn is "
            "the page's road (refused for the PIN, the PIN, the signature), the signature frame "
            "alone timed; " +
            std::to_string(kRounds) + " rounds of " + std::to_string(kCardTurns) +
            " turns on free processors.");
    report.TableHead("host", "raw PKCS#11");
    std::ostringstream spread, profile;
    profile << "\n| key | instructions, host | instructions, raw | instruction ratio |\n"
               "|---|---:|---:|---:|\n";
    for (const auto& [curve, bytes] :
         std::vector<std::pair<std::string, std::string>>{{"ec256", "32"}, {"ec384", "48"}}) {
        Config ec = config;
        ec.options["id"] = config[curve + "-id"];
        ec.options["hash-bytes"] = bytes;
        const std::string token = config[curve], operation = "sign:" + bytes;
        Paired paired;
        {
            OneProcessor one;
            paired = Paired::Measure<HostSession, RawSession>(
                kRounds, kTurns,
                [&] {
                    auto host = std::make_unique<HostSession>(ec, std::vector{ec["host"]}, token);
                    host->WithPin();
                    return host;
                },
                [&] { return std::make_unique<RawSession>(ec, token, operation); },
                [&](HostSession& host) { return host.Timed(ec.Sign()); },
                [](RawSession& raw) { return raw.Timed(); });
        }
        const std::string name =
            "sign, " + std::string(curve == "ec256" ? "P-256" : "P-384") + " on SoftHSM2";
        report.Row(name, Median(paired.first), Median(paired.second), "ms", 3, 1.05);
        spread << "- " << name << ": " << paired.RatioSpread() << ".\n";
        auto [hostInstructions, rawInstructions] = Instructions(ec, operation, token);
        profile << "| " << name << " | " << Fixed(hostInstructions, 0) << " | "
                << Fixed(rawInstructions, 0) << " | "
                << Fixed(hostInstructions / rawInstructions, 3) << "x |\n";
    }

    const std::string dir = config["scratch"] + "/card-ec";
    ::mkdir(dir.c_str(), 0700);
    ::setenv("PCSCLITE_CSOCK_NAME", (dir + "/stack/run/pcscd/pcscd.comm").c_str(), 1);
    ::setenv("PIV_CARD_APDU_LOG", (dir + "/apdu.log").c_str(), 1);
    {
        ChildProcess stack({config["card-stack"], dir + "/stack", config["card-ec"]}, "");
        const std::string status = AwaitCardStack(dir + "/stack/status");
        if (status != "ready") {
            report.Text("\nThe card was not measured: it could not start (" + status + ").\n");
        } else {
            Config card = config;
            card.options["id"] = config["card-id"];
            card.options["pin"] = config["card-pin"];
            const std::string pinRequest = R"({"command":3,"pin":")" + card["pin"] + R"("})";
            ApduLog apdus(dir + "/apdu.log");
            Samples hostApdus, rawApdus, hostCard, rawCard, hostProcessor, rawProcessor;
            Paired paired = Paired::Measure<HostSession, RawSession>(
                kRounds, kCardTurns,
                [&] {
                    return std::make_unique<HostSession>(card, std::vector{card["card-host"]}, "");
                },
                [&] { return std::make_unique<RawSession>(card, "", "sign", card["card-module"]); },
                [&](HostSession& host) {
                    HostSession::Expect(host.Exchange(card.Sign()), R"("missingPin" : true)");
                    HostSession::Expect(host.Exchange(pinRequest), R"("ok" : true)");
                    apdus.Take();
                    double processor = ProcessorMilliseconds(host.Pid());
                    double elapsed = host.Timed(card.Sign());
                    hostProcessor.push_back(ProcessorMilliseconds(host.Pid()) - processor);
                    ApduLog::Commands commands = apdus.Take();
                    hostApdus.push_back(commands.count);
                    hostCard.push_back(commands.cardMilliseconds);
                    return elapsed;
                },
                [&](RawSession& raw) {
                    apdus.Take();
                    double processor = ProcessorMilliseconds(raw.Pid());
                    double elapsed = raw.Timed();
                    rawProcessor.push_back(ProcessorMilliseconds(raw.Pid()) - processor);
                    ApduLog::Commands commands = apdus.Take();
                    rawApdus.push_back(commands.count);
                    rawCard.push_back(commands.cardMilliseconds);
                    return elapsed;
                });
            const std::string name = "sign, P-256 on the card, OpenSC directly";
            report.Row(name, Median(paired.first), Median(paired.second), "ms", 1, 1.10);
            spread << "- " << name << ": " << paired.RatioSpread() << "; APDUs per frame, host / "
                   << "raw: " << Spread(hostApdus) << " / " << Spread(rawApdus)
                   << "; the card's own time: " << Fixed(Median(hostCard), 1) << " / "
                   << Fixed(Median(rawCard), 1)
                   << " ms; processor time: " << Fixed(Median(hostProcessor), 2) << " / "
                   << Fixed(Median(rawProcessor), 2) << " ms.\n";
        }
    }
    ::unsetenv("PCSCLITE_CSOCK_NAME");
    ::unsetenv("PIV_CARD_APDU_LOG");
    report.Text("\nThe rounds' ratios, least to greatest:\n\n" + spread.str() +
                "\nInstructions per signature on SoftHSM2, as callgrind counts them (as in 3):\n" +
                profile.str());
}

void SkippedToken(const Config& config, Report& report) {
    constexpr int kRounds = 5, kTurns = 60;
    report.Section(
        "9. A token skipped",
        "Two SoftHSM2 tokens in one store: one holding only an authentication certificate "
        "(digitalSignature alone), and one holding the signing certificate and its RSA key. "
        "Behind: the first token in the module's slot order is the authentication one, so the "
        "host opens a session on it, finds nothing it wants, asks the next token for its "
        "information and opens a session there. First: the same two tokens with the signing "
        "one first. Two hosts (the PIN given once to each), one operation each in turn, on one "
        "processor; " +
            std::to_string(kRounds) + " rounds of " + std::to_string(kTurns) +
            " turns with fresh processes, medians of all turns, and the least and greatest of "
            "the rounds' ratios. The last row sets the host against the raw program on the "
            "store with the signing token first.");
    report.TableHead("behind another token", "signing token first");
    Config skip = config;
    skip.options["id"] = config["skip-id"];
    std::ostringstream spread, cost;
    auto host = [&](const std::string& store) {
        return std::function<std::unique_ptr<HostSession>()>([&skip, store] {
            auto session =
                std::make_unique<HostSession>(skip, std::vector{skip["host"]}, skip[store]);
            session->WithPin();
            return session;
        });
    };
    OneProcessor one;
    for (const std::string operation : {"sign", "list"}) {
        Paired paired = Paired::Measure<HostSession, HostSession>(
            kRounds, kTurns, host("skip-behind"), host("skip-first"),
            [&](HostSession& session) { return session.Timed(skip.Request(operation)); },
            [&](HostSession& session) { return session.Timed(skip.Request(operation)); });
        report.Row(operation, Median(paired.first), Median(paired.second), "ms", 3);
        spread << "- " << operation << ": " << paired.RatioSpread() << ".\n";
        cost << (cost.tellp() ? ", " : "") << Fixed(Median(paired.first) - Median(paired.second), 3)
             << " ms per " << operation;
    }
    Paired floor = Paired::Measure<HostSession, RawSession>(
        kRounds, kTurns, host("skip-first"),
        [&] { return std::make_unique<RawSession>(skip, skip["skip-first"], "sign"); },
        [&](HostSession& session) { return session.Timed(skip.Sign()); },
        [](RawSession& raw) { return raw.Timed(); });
    report.TableHead("host, signing token first", "raw PKCS#11");
    report.Row("sign", Median(floor.first), Median(floor.second), "ms", 3);
    spread << "- sign, host against raw: " << floor.RatioSpread() << ".\n";
    report.Text("\nThe cost of the skipped token: " + cost.str() +
                ". The rounds' ratios, least to greatest:\n\n" + spread.str());
}

}  // namespace
}  // namespace p11bridge::bench

int main(int argc, char** argv) {
    using namespace p11bridge::bench;
    std::signal(SIGPIPE, SIG_IGN);
    Config config;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name.rfind("--", 0) != 0) {
            std::cerr << "usage: see the head of bench/RoadBench.cpp\n";
            return 2;
        }
        config.options[name.substr(2)] = argv[i + 1];
    }
    const std::vector<std::pair<std::string, void (*)(const Config&, Report&)>> sections = {
        {"messages", PerMessage}, {"startup", StartUp}, {"token", TokenOperations},
        {"scale", ListingScale},  {"proxy", Proxy},     {"memory", Memory},
        {"card", Card},           {"ec", EcKeys},       {"skip", SkippedToken},
    };
    auto only = config.options.find("only");
    Report report;
    try {
        for (const auto& [name, run] : sections) {
            if (only != config.options.end() && only->second != name) continue;
            std::cerr << "measuring: " << name << "\n";
            report.Reproduce("scripts/bench.sh --only " + name);
            run(config, report);
        }
    } catch (const std::exception& e) {
        std::cerr << "p11bridge_bench_road: " << e.what() << "\n";
        return 1;
    }
    report.Print(std::cout);
    return 0;
}
