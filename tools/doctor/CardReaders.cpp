#include "CardReaders.h"

#include <PCSC/winscard.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <type_traits>
#include <vector>

#include "Cryptoki.h"

namespace p11bridge::doctor {
namespace {

// Loaded at run time, as OpenSC loads it: the doctor runs, and says so, where it is missing.
constexpr char kLibrary[] = "libpcsclite.so.1";
constexpr char kDefaultSocket[] = "/run/pcscd/pcscd.comm";
// pcsc-lite serves at most this many readers, each name at most MAX_READERNAME bytes; a longer
// list than that can only be garbage.
constexpr DWORD kMaxReaderList = PCSCLITE_MAX_READERS_CONTEXTS * (MAX_READERNAME + 1) + 1;

struct DlClose {
    void operator()(void* handle) const { dlclose(handle); }
};

struct PcscLite {
    decltype(&SCardEstablishContext) establish;
    decltype(&SCardReleaseContext) release;
    decltype(&SCardListReaders) list;
    decltype(&SCardGetStatusChange) status;
    decltype(&pcsc_stringify_error) describe;
};

// Released when the scope ends.
class Context {
public:
    explicit Context(const PcscLite& pcsc)
        : pcsc_(pcsc), result_(pcsc.establish(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &handle_)) {}
    ~Context() {
        if (result_ == SCARD_S_SUCCESS) pcsc_.release(handle_);
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    LONG Result() const { return result_; }
    SCARDCONTEXT Handle() const { return handle_; }

private:
    const PcscLite& pcsc_;
    SCARDCONTEXT handle_ = 0;
    LONG result_;
};

std::string ErrorText(const PcscLite& pcsc, LONG rv) {
    char number[24];
    std::snprintf(number, sizeof number, "0x%lx", static_cast<unsigned long>(rv));
    std::string text = pcsc.describe ? pcsc.describe(rv) : "";
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text.empty() ? std::string(number) : text + " (" + number + ")";
}

// The names in a list of NUL-terminated names that ends with an empty one.
std::vector<std::string> ReaderNames(const std::vector<char>& list) {
    std::vector<std::string> names;
    for (std::size_t at = 0; at < list.size() && list[at] != '\0';) {
        std::size_t end = at;
        while (end < list.size() && list[end] != '\0') ++end;
        names.emplace_back(&list[at], end - at);
        at = end + 1;
    }
    return names;
}

void SayReader(Report& report, const std::string& module, const SCARD_READERSTATE& state) {
    std::string reader = std::string("card reader \"") + state.szReader + "\"";
    DWORD flags = state.dwEventState;
    if (flags & SCARD_STATE_MUTE) {
        report.Warning(reader +
                       ": the card in it does not answer; take it out and put it back in (the "
                       "right way round, chip first)");
    } else if (flags & SCARD_STATE_EXCLUSIVE) {
        report.Warning(reader + ": another program holds the card for itself, so " + module +
                       " cannot reach it until that program lets go");
    } else if (flags & SCARD_STATE_PRESENT) {
        std::vector<unsigned char> atr(state.rgbAtr,
                                       state.rgbAtr + std::min<DWORD>(state.cbAtr, MAX_ATR_SIZE));
        report.Ok(reader + ": a card is in it (ATR " + HexText(atr) + ")");
    } else if (flags & SCARD_STATE_EMPTY) {
        report.Ok(reader + ": no card in it");
    } else {
        report.Warning(reader + ": pcscd cannot tell whether a card is in it");
    }
}

}  // namespace

void CheckCardReaders(Report& report, const std::string& module, bool onlyWay) {
    auto trouble = onlyWay ? &Report::Problem : &Report::Warning;
    std::string reach =
        (onlyWay ? module : "the smart cards behind " + module) + " can be reached only through it";
    std::unique_ptr<void, DlClose> library(dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL));
    PcscLite pcsc{};
    auto bind = [&library](auto& entry, const char* name) {
        entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(
            library ? dlsym(library.get(), name) : nullptr);
    };
    bind(pcsc.establish, "SCardEstablishContext");
    bind(pcsc.release, "SCardReleaseContext");
    bind(pcsc.list, "SCardListReaders");
    bind(pcsc.status, "SCardGetStatusChange");
    bind(pcsc.describe, "pcsc_stringify_error");
    if (!pcsc.establish || !pcsc.release || !pcsc.list || !pcsc.status) {
        const char* why = dlerror();
        (report.*trouble)(std::string("the PC/SC client library ") + kLibrary + " does not load (" +
                          (why ? why : "incomplete") + "): " + reach +
                          "; install it: sudo apt-get install libpcsclite1");
        return;
    }
    // The client library, like every PC/SC client, takes the service's socket from this variable.
    const char* custom = std::getenv("PCSCLITE_CSOCK_NAME");
    std::string socket = custom && *custom ? custom : kDefaultSocket;
    Context context(pcsc);
    if (context.Result() != SCARD_S_SUCCESS) {
        (report.*trouble)("the PC/SC service (pcscd) is not reachable at " + socket + " (" +
                          ErrorText(pcsc, context.Result()) + "): " + reach +
                          "; install and start it: sudo apt-get install pcscd && sudo systemctl "
                          "enable --now pcscd.socket");
        return;
    }
    DWORD length = 0;
    LONG rv = pcsc.list(context.Handle(), nullptr, nullptr, &length);
    std::vector<char> list;
    if (rv == SCARD_S_SUCCESS && length > kMaxReaderList) rv = SCARD_F_INTERNAL_ERROR;
    if (rv == SCARD_S_SUCCESS) {
        list.assign(length, '\0');
        rv = pcsc.list(context.Handle(), nullptr, list.data(), &length);
        list.resize(std::min<std::size_t>(length, list.size()));
    }
    if (rv == SCARD_E_NO_READERS_AVAILABLE) {
        (report.*trouble)("the PC/SC service (pcscd) answers at " + socket +
                          " but sees no card reader: plug the reader in (USB readers need the "
                          "CCID driver: sudo apt-get install libccid)");
        return;
    }
    if (rv != SCARD_S_SUCCESS) {
        (report.*trouble)("the PC/SC service (pcscd) answers at " + socket +
                          " but does not list its card readers: " + ErrorText(pcsc, rv));
        return;
    }
    std::vector<std::string> names = ReaderNames(list);
    report.Ok("the PC/SC service (pcscd) answers at " + socket + " and shows " +
              std::to_string(names.size()) + " card reader" + (names.size() == 1 ? "" : "s") +
              " to " + module);
    std::vector<SCARD_READERSTATE> states(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        states[i].szReader = names[i].c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    // A zero timeout with every state unknown to the caller answers at once with the present state.
    rv = pcsc.status(context.Handle(), 0, states.data(), static_cast<DWORD>(states.size()));
    if (rv != SCARD_S_SUCCESS) {
        report.Warning("pcscd does not say which card readers hold a card: " + ErrorText(pcsc, rv));
        return;
    }
    for (const SCARD_READERSTATE& state : states) SayReader(report, module, state);
}

}  // namespace p11bridge::doctor
