#pragma once

#include <string>

#include "service/GuardFacts.h"

namespace quarnel::ctl {

// What the running quarneld says of itself on the system bus, as it keeps it.
using GuardState = GuardFacts;

// Why it could not be read.
enum class AskFailure { None, NoBus, NotRunning, Refused, Other };

// Reads every property of the service's interface in one call; on failure, why, and problem in
// words.
AskFailure AskGuard(GuardState& state, std::string& problem);

}  // namespace quarnel::ctl
