// The commands of kdt212ctl, each one connection to the unit that ends with
// the goodbye. Each returns the exit code (ExitCodes.h).
#pragma once

#include <atomic>

#include "Address.h"
#include "Options.h"

namespace cli {

int RunCommand(const Options& options, const UnitAddress& unit,
               const std::atomic<bool>& interrupted);

}  // namespace cli
