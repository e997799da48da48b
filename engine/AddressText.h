#pragma once

#include "platform/RuleEntry.h"

// The texts of addresses, as the rule lists read and write them.
namespace quarnel {

using platform::CanonicalAddressText;
using platform::IPv6Text;
using platform::ParseAddress;

}  // namespace quarnel
