#include "BrowserManifests.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>

#include "StrictJson.h"

namespace p11bridge::doctor {
namespace {

constexpr char kHostName[] = "org.p11bridge.host";
constexpr char kInstaller[] = "p11bridge-install";

enum class Format { kChromium, kFirefox };

struct Family {
    const char* name;
    Format format;
    // Under the user's configuration folder (XDG_CONFIG_HOME or ~/.config); nullptr for Firefox,
    // which keeps its own folder under HOME.
    const char* userConfig;
    std::vector<const char*> systemFolders;
};

const Family kFamilies[] = {
    {"Chromium", Format::kChromium, "chromium", {"/etc/chromium/native-messaging-hosts"}},
    {"Google Chrome",
     Format::kChromium,
     "google-chrome",
     {"/etc/opt/chrome/native-messaging-hosts"}},
    {"Microsoft Edge",
     Format::kChromium,
     "microsoft-edge",
     {"/etc/opt/edge/native-messaging-hosts"}},
    {"Brave", Format::kChromium, "BraveSoftware/Brave-Browser", {}},
    {"Vivaldi", Format::kChromium, "vivaldi", {}},
    {"Firefox",
     Format::kFirefox,
     nullptr,
     {"/usr/lib/mozilla/native-messaging-hosts", "/usr/lib64/mozilla/native-messaging-hosts"}},
};

bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text.empty() ? "none" : text;
}

// The member's text, or nothing when it is absent or not a text.
std::optional<std::string> TextMember(const JsonValue& object, const char* name) {
    const JsonValue* member = object.Member(name);
    if (!member || member->kind != JsonValue::Kind::kText) return std::nullopt;
    return member->text;
}

// The member's texts, or nothing when it is absent, not an array or holds anything but texts.
std::optional<std::vector<std::string>> TextListMember(const JsonValue& object, const char* name) {
    const JsonValue* member = object.Member(name);
    if (!member || member->kind != JsonValue::Kind::kArray) return std::nullopt;
    std::vector<std::string> texts;
    for (const JsonValue& item : member->items) {
        if (item.kind != JsonValue::Kind::kText) return std::nullopt;
        texts.push_back(item.text);
    }
    return texts;
}

class ManifestCheck {
public:
    ManifestCheck(Report& report, std::string browser, Format format, std::string path,
                  const ManifestExpectations& expected)
        : report_(report),
          browser_(std::move(browser)),
          format_(format),
          path_(std::move(path)),
          expected_(expected) {}

    // The host program the manifest names, when the manifest is sound and the program is there.
    std::optional<std::string> Run();

private:
    void Say(void (Report::*verdict)(const std::string&), const std::string& text) {
        (report_.*verdict)(browser_ + ": " + text);
    }
    bool CheckShape(const JsonValue& manifest);
    std::optional<std::string> CheckHostProgram(const std::string& host);
    void CheckExtensions(const std::vector<std::string>& allowed);

    Report& report_;
    std::string browser_;
    Format format_;
    std::string path_;
    const ManifestExpectations& expected_;
};

std::optional<std::string> ManifestCheck::Run() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) {
        int error = errno;
        Say(&Report::Problem, "cannot read the manifest " + path_ + " (" + std::strerror(error) +
                                  "); the browser cannot either: make it readable (chmod 644)");
        return std::nullopt;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Browsers read the manifest strictly, and where a member is named twice they take the last
    // one: a lenient reader here would vouch for a manifest the browser refuses or reads otherwise.
    JsonValue manifest;
    try {
        manifest = ParseStrictJson(text);
    } catch (const JsonError& error) {
        Say(&Report::Problem, "the manifest " + path_ + " is not JSON the browser accepts (" +
                                  error.what() + "); run " + kInstaller +
                                  " again to write it afresh");
        return std::nullopt;
    }
    if (manifest.kind != JsonValue::Kind::kObject) {
        Say(&Report::Problem, "the manifest " + path_ + " is not a JSON object; run " + kInstaller +
                                  " again to write it afresh");
        return std::nullopt;
    }
    if (!CheckShape(manifest)) return std::nullopt;
    std::optional<std::string> host = CheckHostProgram(*TextMember(manifest, "path"));
    CheckExtensions(*TextListMember(
        manifest, format_ == Format::kChromium ? "allowed_origins" : "allowed_extensions"));
    return host;
}

bool ManifestCheck::CheckShape(const JsonValue& manifest) {
    const char* listName = format_ == Format::kChromium ? "allowed_origins" : "allowed_extensions";
    std::vector<std::string> faults;
    if (TextMember(manifest, "name") != std::string(kHostName)) {
        faults.push_back(std::string("\"name\" is not \"") + kHostName + "\"");
    }
    std::optional<std::string> description = TextMember(manifest, "description");
    if (!description || description->empty()) {
        faults.push_back("\"description\" is not a text");
    }
    if (TextMember(manifest, "type") != std::string("stdio")) {
        faults.push_back("\"type\" is not \"stdio\"");
    }
    std::optional<std::string> host = TextMember(manifest, "path");
    if (!host || host->empty() || (*host)[0] != '/') {
        faults.push_back("\"path\" is not an absolute file name");
    }
    if (!TextListMember(manifest, listName)) {
        faults.push_back(std::string("\"") + listName + "\" is not a list of texts");
    }
    if (!faults.empty()) {
        Say(&Report::Problem, "the manifest " + path_ + " is not one the browser accepts (" +
                                  Join(faults) + "); run " + kInstaller +
                                  " again to write it afresh");
        return false;
    }
    Say(&Report::Ok, "the manifest " + path_ + " is well-formed");
    return true;
}

std::optional<std::string> ManifestCheck::CheckHostProgram(const std::string& host) {
    struct stat info;
    if (stat(host.c_str(), &info) != 0) {
        Say(&Report::Problem, "the manifest names the host " + host +
                                  ", which does not exist (moved or removed?): run " + kInstaller +
                                  " again, or correct \"path\" in " + path_);
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode) || access(host.c_str(), X_OK) != 0) {
        Say(&Report::Problem, "the host " + host +
                                  " is not an executable file: the browser cannot start it; "
                                  "make it executable (chmod 755) or run " +
                                  kInstaller + " again");
        return std::nullopt;
    }
    Say(&Report::Ok, "the host " + host + " is there and executable");
    return host;
}

void ManifestCheck::CheckExtensions(const std::vector<std::string>& allowed) {
    bool chromium = format_ == Format::kChromium;
    // Chromium reads each entry as an extension's origin and refuses the manifest when one is not.
    static const std::regex kOrigin("chrome-extension://[a-p]{32}/");
    for (const std::string& entry : allowed) {
        if (chromium && !std::regex_match(entry, kOrigin)) {
            Say(&Report::Problem, "\"allowed_origins\" holds \"" + entry +
                                      "\", which is not of the form chrome-extension://ID/; "
                                      "correct it in " +
                                      path_);
        }
    }
    std::vector<std::string> missing;
    for (const std::string& id :
         chromium ? expected_.chromeExtensionIds : expected_.firefoxExtensionIds) {
        std::string entry = chromium ? "chrome-extension://" + id + "/" : id;
        if (std::find(allowed.begin(), allowed.end(), entry) == allowed.end()) {
            missing.push_back(id);
        }
    }
    if (missing.empty()) {
        Say(&Report::Ok, "extensions allowed to start the host: " + Join(allowed));
        return;
    }
    std::string option = chromium ? " --chrome-extension-id " : " --firefox-extension-id ";
    std::string fix;
    for (const std::string& id : missing) fix += option + id;
    Say(&Report::Problem, "extension ID not allowed: " + Join(missing) +
                              " may not start the host (allowed: " + Join(allowed) + "); run " +
                              kInstaller + fix + " to allow it");
}

void Remember(std::vector<std::string>& hosts, const std::optional<std::string>& host) {
    if (host && std::find(hosts.begin(), hosts.end(), *host) == hosts.end()) {
        hosts.push_back(*host);
    }
}

}  // namespace

std::vector<std::string> CheckBrowserManifests(Report& report, const std::string& profile,
                                               const ManifestExpectations& expected) {
    std::vector<std::string> hosts;
    std::string manifestName = std::string(kHostName) + ".json";
    if (!profile.empty()) {
        std::string browser = "Chromium profile " + profile;
        std::string path = profile + "/NativeMessagingHosts/" + manifestName;
        if (!Exists(path)) {
            report.Problem(browser + ": manifest missing: there is no " + path +
                           ", so the browser says \"Specified native messaging host not "
                           "found\"; run " +
                           kInstaller + " --profile " + profile);
            return hosts;
        }
        Remember(hosts, ManifestCheck(report, browser, Format::kChromium, path, expected).Run());
        return hosts;
    }

    const char* homeVariable = std::getenv("HOME");
    std::string home = homeVariable ? homeVariable : "";
    const char* configVariable = std::getenv("XDG_CONFIG_HOME");
    std::string config = configVariable && *configVariable ? configVariable : home + "/.config";
    // For tests only, as for the installer: a folder taken for / in every system path, so that no
    // real system folder is read.
    const char* rootVariable = std::getenv("P11BRIDGE_INSTALL_ROOT");
    std::string systemRoot = rootVariable ? rootVariable : "";
    while (!systemRoot.empty() && systemRoot.back() == '/') systemRoot.pop_back();
    if (home.empty()) {
        report.Warning("HOME is not set, so the user's own manifests were not looked for");
    }
    bool anyManifest = false;
    for (const Family& family : kFamilies) {
        bool isChromium = family.format == Format::kChromium;
        std::vector<std::pair<std::string, std::string>> folders;  // who, folder
        std::string browserHome;
        if (!home.empty()) {
            browserHome = isChromium ? config + "/" + family.userConfig : home + "/.mozilla";
            folders.emplace_back("user", isChromium ? browserHome + "/NativeMessagingHosts"
                                                    : browserHome + "/native-messaging-hosts");
        }
        for (const char* folder : family.systemFolders) {
            folders.emplace_back("system", systemRoot + folder);
        }

        bool found = false;
        for (const auto& [who, folder] : folders) {
            std::string path = folder + "/" + manifestName;
            if (!Exists(path)) continue;
            if (found) {
                report.Ok(std::string(family.name) + ": the " + who + " manifest " + path +
                          " is there too, but the browser takes the user's first");
            }
            std::string browser = std::string(family.name) + " (" + who + ")";
            Remember(hosts, ManifestCheck(report, browser, family.format, path, expected).Run());
            found = true;
        }
        anyManifest = anyManifest || found;
        if (found) continue;
        if (!browserHome.empty() && Exists(browserHome)) {
            report.Warning(std::string(family.name) + " is used here (" + browserHome +
                           " exists) but the host is not registered for it; run " + kInstaller +
                           " if pages in " + family.name + " should reach it");
        } else {
            report.Ok(std::string(family.name) + ": not used here and not registered; skipped");
        }
    }
    if (!anyManifest) {
        report.Problem(std::string("manifest missing: no browser has the host registered, so they "
                                   "all say \"Specified native messaging host not found\"; run ") +
                       kInstaller + " (or " + kInstaller + " --system as root)");
    }
    return hosts;
}

}  // namespace p11bridge::doctor
