#include "ModuleCheck.h"

#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "CardReaders.h"
#include "CertificateCheck.h"
#include "Cryptoki.h"
#include "pkcs11/Pkcs11Module.h"
#include "pkcs11/SlotChoice.h"
#include "pkcs11/TokenReads.h"

namespace p11bridge::doctor {
namespace {

constexpr char kInstallWithModule[] =
    "run p11bridge-install --module MODULE (p11-kit's proxy by default)";

struct PathFree {
    void operator()(char* p) const { std::free(p); }
};

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

std::string Version(const CK_VERSION& version) {
    return std::to_string(version.major) + "." + std::to_string(version.minor);
}

void CheckEnvironment(Report& report, const std::string& resolved, const CK_INFO* info) {
    bool softHsm =
        Contains(resolved, "softhsm") ||
        (info && Contains(FieldText(info->manufacturerID, sizeof info->manufacturerID), "SoftHSM"));
    if (!softHsm) return;
    const char* variable = std::getenv("SOFTHSM2_CONF");
    std::string conf = variable ? variable : "/etc/softhsm/softhsm2.conf";
    std::string where = variable ? "SOFTHSM2_CONF=" + conf : conf + " (SOFTHSM2_CONF is not set)";
    if (access(conf.c_str(), R_OK) != 0) {
        int error = errno;
        report.Problem("SoftHSM2 cannot read its configuration " + where + " (" +
                       std::strerror(error) +
                       "); point SOFTHSM2_CONF at the softhsm2.conf of the token, here and where "
                       "the browser starts");
        return;
    }
    report.Ok("SoftHSM2 takes its tokens from " + where +
              " here; the host inherits the browser's environment, so start the browser with "
              "the same SOFTHSM2_CONF");
}

std::string SlotName(CK_FUNCTION_LIST* p11, CK_SLOT_ID slot) {
    CK_SLOT_INFO info{};
    std::string name = "slot " + std::to_string(slot);
    if (p11->C_GetSlotInfo(slot, &info) == CKR_OK) {
        name += " (\"" + FieldText(info.slotDescription, sizeof info.slotDescription) + "\")";
    }
    return name;
}

std::string TokenName(const CK_TOKEN_INFO& token) {
    return "token \"" + FieldText(token.label, sizeof token.label) + "\" (" +
           FieldText(token.manufacturerID, sizeof token.manufacturerID) + ", " +
           FieldText(token.model, sizeof token.model) + ", serial " +
           FieldText(token.serialNumber, sizeof token.serialNumber) + ")";
}

std::string OwnerName(uid_t uid) {
    struct passwd* entry = getpwuid(uid);
    return entry ? entry->pw_name : "user " + std::to_string(uid);
}

// The installer's rule for what root may load: every component of the path owned by root and
// writable by no one else, sticky folders included (in /tmp another user can take a name before
// root does), and a link judged by what it leads to, one hop at a time, since a link in another
// user's folder can be turned elsewhere. Components are taken as written, so ".." hides nothing.
// Says why not in `why`.
bool SafeForRoot(const std::string& path, std::string& why, int hops = 0) {
    if (path.empty() || path[0] != '/') {
        why = "cannot resolve " + path;
        return false;
    }
    if (hops > 40) {
        why = path + " goes through too many links";
        return false;
    }
    std::vector<std::string> chain = {"/"};
    for (std::size_t at = 1; at <= path.size();) {
        std::size_t end = std::min(path.find('/', at), path.size());
        std::string part = path.substr(at, end - at);
        if (!part.empty() && part != ".")
            chain.push_back((chain.size() > 1 ? chain.back() : "") + "/" + part);
        at = end + 1;
    }
    for (const std::string& p : chain) {
        struct stat info;
        if (lstat(p.c_str(), &info) != 0) {
            why = "cannot look at " + p + " (" + std::strerror(errno) + ")";
            return false;
        }
        if (info.st_uid != 0) {
            why = p + " is owned by " + OwnerName(info.st_uid) + ", not root";
            return false;
        }
        if (S_ISLNK(info.st_mode)) {
            std::vector<char> target(PATH_MAX + 1, '\0');
            ssize_t n = readlink(p.c_str(), target.data(), PATH_MAX);
            std::string to(target.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
            if (to.empty() || to[0] != '/') to = p.substr(0, p.rfind('/')) + "/" + to;
            if (!SafeForRoot(to, why, hops + 1)) return false;
        } else if (info.st_mode & (S_IWGRP | S_IWOTH)) {
            why = p + " is writable by group or others" +
                  (info.st_mode & S_ISVTX ? " (sticky or not, another user can take a name in it)"
                                          : "");
            return false;
        }
    }
    return true;
}

void CheckSlots(Report& report, CK_FUNCTION_LIST* p11, const std::string& module) {
    std::vector<CK_SLOT_ID> all;
    std::vector<CK_SLOT_ID> withToken;
    CK_RV rv = ReadSlotList(p11, CK_FALSE, all);
    if (rv == CKR_OK) rv = ReadSlotList(p11, CK_TRUE, withToken);
    if (rv != CKR_OK) {
        report.Problem("C_GetSlotList of " + module + " failed: " + ReturnValueText(rv) +
                       "; the host reports \"get slot list\"");
        return;
    }
    for (CK_SLOT_ID slot : all) {
        if (std::find(withToken.begin(), withToken.end(), slot) == withToken.end()) {
            report.Ok(SlotName(p11, slot) + ": no token in it");
        }
    }
    if (withToken.empty()) {
        report.Problem("no token: " + module +
                       " reports no slot holding one, so the host answers \"No se encontro "
                       "ningun slot\"; insert the card or token (and check its reader)");
        return;
    }
    // The host's own walk for a listing: each token asked as the host asks it, through a public
    // session and the listing rule.
    std::vector<CK_RV> sessions(withToken.size(), CKR_OK);
    const SlotWalk walk = WalkSlots(p11, withToken, [&](std::size_t i) {
        Session session(p11, withToken[i]);
        sessions[i] = session.Result();
        if (session.Result() != CKR_OK) return SlotAnswer::kNoSession;
        return CountListed(p11, session.Handle()) > 0 ? SlotAnswer::kHeld : SlotAnswer::kNotHeld;
    });
    const std::size_t taken = walk.held != SlotWalk::kNone ? walk.held : walk.answering;
    CK_TOKEN_INFO takenToken{};
    for (std::size_t i = 0; i < withToken.size(); ++i) {
        CK_TOKEN_INFO token{};
        std::string slot = SlotName(p11, withToken[i]);
        rv = p11->C_GetTokenInfo(withToken[i], &token);
        bool initialised = rv == CKR_OK && (token.flags & CKF_TOKEN_INITIALIZED);
        if (rv != CKR_OK) {
            slot += " (C_GetTokenInfo failed: " + ReturnValueText(rv) + ")";
        } else {
            slot += initialised ? " holds " + TokenName(token) : " holds an uninitialised token";
        }
        if (i == taken) {
            takenToken = token;
            report.Ok(slot + ": the host takes this one for listing, " +
                      (withToken.size() == 1 ? std::string("the only slot with a token")
                       : walk.held == i
                           ? "the first in slot order that holds a certificate it lists"
                           : "though it holds no certificate the host lists, as no token does "
                             "(its errors are the ones the host reports)"));
            continue;
        }
        std::string reason;
        bool flag = false;
        if (walk.verdicts[i] != SlotVerdict::kUsable) {
            reason = SlotVerdictText(walk.verdicts[i]);
            flag = walk.verdicts[i] == SlotVerdict::kNoTokenInfo;
        } else if (walk.answers[i] == SlotAnswer::kNoSession) {
            reason = std::string(rv != CKR_OK  ? "no token information: "
                                 : initialised ? ""
                                               : "not initialised: ") +
                     "no session opens on it, " + ReturnValueText(sessions[i]);
            flag = rv != CKR_OK || initialised;
        } else if (walk.answers[i] == SlotAnswer::kNotHeld) {
            reason = "it holds no certificate the host lists";
        } else {
            report.Ok(slot + ": the host does not look at it, as it takes a token before it");
            continue;
        }
        (report.*(flag ? &Report::Warning : &Report::Ok))(slot + ": the host passes over it (" +
                                                          reason + ")");
    }
    if (taken == SlotWalk::kNone) {
        report.Problem(
            "the host can use none of these tokens, so it reports the first slot's failure "
            "(\"open session\", " +
            ReturnValueText(sessions[0]) +
            "): insert or initialise the token that holds the signing certificate");
        return;
    }
    CheckCertificates(report, p11, withToken[taken], takenToken);
}

}  // namespace

void CheckHostModule(Report& report, const std::string& host) {
    std::string link = host.substr(0, host.rfind('/') + 1) + Pkcs11Module::LinkName();
    struct stat info;
    if (lstat(link.c_str(), &info) != 0) {
        report.Problem("module link missing: there is no " + link +
                       " beside the host, so the host reaches no token; " + kInstallWithModule);
        return;
    }
    std::unique_ptr<char, PathFree> resolvedPath(realpath(link.c_str(), nullptr));
    if (S_ISLNK(info.st_mode)) {
        std::vector<char> target(PATH_MAX + 1, '\0');
        ssize_t n = readlink(link.c_str(), target.data(), PATH_MAX);
        std::string to(target.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
        if (!resolvedPath) {
            report.Problem("module link broken: " + link + " points to " + to +
                           ", which does not exist; install that module's package, or " +
                           kInstallWithModule);
            return;
        }
        report.Ok("module link " + link + " -> " + to +
                  (to == resolvedPath.get()
                       ? ""
                       : " (resolves to " + std::string(resolvedPath.get()) + ")"));
    } else {
        report.Ok("module " + link + " is a file of its own, not a link");
    }
    std::string module = resolvedPath ? resolvedPath.get() : link;

    // Loading a module runs its code: as root, only code no other user could have put there.
    std::string why;
    if (geteuid() == 0 && !SafeForRoot(link, why)) {
        report.Problem("not loading the module " + module + " as root: " + why +
                       ", so another user could put their code in its place; install the host "
                       "and module where only root can write, or run the doctor as the user "
                       "whose browser starts the host");
        return;
    }

    ModuleLibrary library(link);
    switch (library.Why()) {
        case ModuleLibrary::Failure::kNone:
            break;
        case ModuleLibrary::Failure::kNotLoadable:
            report.Problem("the module " + module + " does not load (" + library.LoaderMessage() +
                           "): install what it needs, or " + kInstallWithModule);
            return;
        case ModuleLibrary::Failure::kNoGetFunctionList:
            report.Problem("the module " + module +
                           " does not export C_GetFunctionList, so it is no PKCS#11 module; " +
                           kInstallWithModule);
            return;
        case ModuleLibrary::Failure::kGetFunctionListFailed:
            report.Problem("C_GetFunctionList of " + module +
                           " failed: " + ReturnValueText(library.GetFunctionListResult()));
            return;
    }
    report.Ok("the module " + module + " loads and exports C_GetFunctionList");

    CK_FUNCTION_LIST* p11 = library.Functions();
    Cryptoki cryptoki(p11);
    if (cryptoki.Result() != CKR_OK) {
        CheckEnvironment(report, module, nullptr);
        report.Problem("C_Initialize of " + module +
                       " failed: " + ReturnValueText(cryptoki.Result()) +
                       "; the host reports \"C_Initialize failed\" (is the module's own "
                       "configuration readable?)");
        return;
    }
    CK_INFO moduleInfo{};
    CK_RV rv = p11->C_GetInfo(&moduleInfo);
    if (rv == CKR_OK) {
        report.Ok("C_GetInfo: \"" +
                  FieldText(moduleInfo.libraryDescription, sizeof moduleInfo.libraryDescription) +
                  "\" " + Version(moduleInfo.libraryVersion) + " by \"" +
                  FieldText(moduleInfo.manufacturerID, sizeof moduleInfo.manufacturerID) +
                  "\", Cryptoki " + Version(moduleInfo.cryptokiVersion));
    } else {
        report.Warning("C_GetInfo of " + module + " failed: " + ReturnValueText(rv) +
                       "; the host does not need it");
    }
    const CK_INFO* known = rv == CKR_OK ? &moduleInfo : nullptr;
    CheckEnvironment(report, module, known);
    std::string manufacturer =
        known ? FieldText(moduleInfo.manufacturerID, sizeof moduleInfo.manufacturerID) : "";
    // OpenSC, and p11-kit's proxy through the OpenSC module it usually carries, reach card
    // readers only through the PC/SC service.
    if (Contains(module, "opensc") || Contains(manufacturer, "OpenSC")) {
        CheckCardReaders(report, module, true);
    } else if (Contains(module, "p11-kit") || Contains(manufacturer, "PKCS#11 Kit")) {
        CheckCardReaders(report, module, false);
    }
    CheckSlots(report, p11, module);
}

}  // namespace p11bridge::doctor
