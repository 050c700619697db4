// The card readers behind a module that reaches cards through the PC/SC service (pcscd), and
// whether each holds a card, as the module itself would find them.
#pragma once

#include <string>

#include "Report.h"

namespace p11bridge::doctor {

// onlyWay: the module reaches tokens only through PC/SC (OpenSC), so a missing service or reader is
// a problem; otherwise (p11-kit's proxy, which may carry other modules too) a warning.
void CheckCardReaders(Report& report, const std::string& module, bool onlyWay);

}  // namespace p11bridge::doctor
