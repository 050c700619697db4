// Where the browsers look for the host's native-messaging manifest (the folders the installer
// writes to), and whether what they find there can start the host.
#pragma once

#include <string>
#include <vector>

#include "Report.h"

namespace p11bridge::doctor {

struct ManifestExpectations {
    // The Chromium-family extension IDs and Firefox extension IDs that must be allowed to start
    // the host.
    std::vector<std::string> chromeExtensionIds;
    std::vector<std::string> firefoxExtensionIds;
};

// With a profile, only the Chromium user-data directory's own manifest is looked at; otherwise
// the user's and the system's folders of every browser family the installer knows. Returns the
// distinct host programs that the manifests found name and that exist, in the order found.
std::vector<std::string> CheckBrowserManifests(Report& report, const std::string& profile,
                                               const ManifestExpectations& expected);

}  // namespace p11bridge::doctor
