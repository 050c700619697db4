// The module link beside a host, the module it leads to, and the slot and token the host takes.
#pragma once

#include <string>

#include "Report.h"

namespace p11bridge::doctor {

// Follows the link, loads the module in this process (with this process's environment, which is
// not necessarily the browser's), and goes on to the certificates of the token the host takes.
void CheckHostModule(Report& report, const std::string& host);

}  // namespace p11bridge::doctor
