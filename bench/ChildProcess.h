// A program started on two pipes, as a browser starts the host: its stdin and stdout are ours,
// its stderr is inherited.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace p11bridge::bench {

class ChildProcess {
public:
    // Starts argv[0] with SOFTHSM2_CONF set to softhsmConf (left as it is when empty).
    ChildProcess(const std::vector<std::string>& argv, const std::string& softhsmConf);
    // Ends the conversation as a browser does, by closing the host's input, and waits.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // One native message each way: a 4-byte native-endian length and the text.
    void Send(const std::string& json);
    std::string Receive();
    void WriteLine(const std::string& line);
    // One line of text, without its line feed; empty at the end of the output.
    std::string ReadLine();

    // Closes the input, waits for the exit and returns the peak resident size in KiB.
    long Finish();
    // User and system time the program used, once it has finished.
    double CpuMilliseconds() const { return cpuMilliseconds_; }
    pid_t Pid() const { return pid_; }

private:
    bool Fill();

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffer_;
    double cpuMilliseconds_ = 0;
};

}  // namespace p11bridge::bench
