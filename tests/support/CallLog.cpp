#include "support/CallLog.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace p11bridge::test {

CallLog CallLog::Read(const std::string& path) {
    CallLog log;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line[0] == '#') {
            log.remarks_.push_back(line);
            continue;
        }
        std::istringstream words(line);
        Pkcs11Call call;
        std::string rest;
        if (!(words >> call.function >> call.rv) || (words >> rest) ||
            call.function.rfind("C_", 0) != 0) {
            throw std::runtime_error("bad call log line '" + line + "' in " + path);
        }
        log.calls_.push_back(call);
    }
    return log;
}

void CallLog::Clear(const std::string& path) {
    std::ofstream out(path, std::ios::trunc);
}

std::vector<std::string> CallLog::Functions() const {
    std::vector<std::string> names;
    for (const Pkcs11Call& call : calls_) names.push_back(call.function);
    return names;
}

size_t CallLog::Count(const std::string& function) const {
    size_t n = 0;
    for (const Pkcs11Call& call : calls_) n += call.function == function;
    return n;
}

size_t CallLog::CountOk(const std::string& function) const {
    size_t n = 0;
    for (const Pkcs11Call& call : calls_) n += call.function == function && call.rv == 0;
    return n;
}

std::string CallLog::ToString() const {
    std::string text;
    for (const Pkcs11Call& call : calls_) {
        text += call.function + " " + std::to_string(call.rv) + "\n";
    }
    return text;
}

::testing::AssertionResult CallLog::EveryInitializeFinalized() const {
    bool initialized = false;
    for (size_t i = 0; i < calls_.size(); ++i) {
        const Pkcs11Call& call = calls_[i];
        if (call.function == "C_Initialize" && call.rv == 0) {
            if (initialized) {
                return ::testing::AssertionFailure()
                       << "call " << i << ": initialised again without C_Finalize\n"
                       << ToString();
            }
            initialized = true;
        } else if (call.function == "C_Finalize") {
            initialized = false;
        }
    }
    if (initialized) {
        return ::testing::AssertionFailure() << "the log ends without C_Finalize\n" << ToString();
    }
    return ::testing::AssertionSuccess();
}

// The host ignores the results of C_CloseSession and C_Logout, so calling them is what
// counts, whatever they returned.
::testing::AssertionResult CallLog::EverySessionClosed() const {
    int open = 0;
    for (size_t i = 0; i < calls_.size(); ++i) {
        const Pkcs11Call& call = calls_[i];
        if (call.function == "C_OpenSession" && call.rv == 0) ++open;
        if (call.function == "C_CloseSession" && open > 0) --open;
        if ((call.function == "C_Finalize" || call.function == "C_Initialize") && open > 0) {
            return ::testing::AssertionFailure() << "call " << i << " (" << call.function
                                                 << "): " << open << " session(s) still open\n"
                                                 << ToString();
        }
    }
    if (open > 0) {
        return ::testing::AssertionFailure() << "the log ends with " << open << " session(s) open\n"
                                             << ToString();
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult CallLog::EveryLoginLoggedOut() const {
    bool loggedIn = false;
    for (size_t i = 0; i < calls_.size(); ++i) {
        const Pkcs11Call& call = calls_[i];
        if (call.function == "C_Login" && call.rv == 0) {
            loggedIn = true;
        } else if (call.function == "C_Logout") {
            loggedIn = false;
        } else if (loggedIn && (call.function == "C_CloseSession" ||
                                call.function == "C_Finalize" || call.function == "C_Initialize")) {
            return ::testing::AssertionFailure()
                   << "call " << i << " (" << call.function << ") while still logged in\n"
                   << ToString();
        }
    }
    if (loggedIn) {
        return ::testing::AssertionFailure() << "the log ends logged in\n" << ToString();
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult CallLog::EverySearchFinished() const {
    bool searching = false;
    for (size_t i = 0; i < calls_.size(); ++i) {
        const Pkcs11Call& call = calls_[i];
        if (call.function == "C_FindObjectsFinal") {
            searching = false;
        } else if (searching &&
                   (call.function == "C_FindObjectsInit" || call.function == "C_CloseSession" ||
                    call.function == "C_Finalize" || call.function == "C_SignInit")) {
            return ::testing::AssertionFailure()
                   << "call " << i << " (" << call.function << ") while a search is open\n"
                   << ToString();
        }
        if (call.function == "C_FindObjectsInit" && call.rv == 0) searching = true;
    }
    if (searching) {
        return ::testing::AssertionFailure() << "the log ends inside a search\n" << ToString();
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult CallLog::NoLogin() const {
    if (Count("C_Login") > 0) {
        return ::testing::AssertionFailure() << "C_Login was called\n" << ToString();
    }
    return ::testing::AssertionSuccess();
}

}  // namespace p11bridge::test
