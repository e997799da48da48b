#pragma once

#include <cstdint>

namespace quarnel::platform {

// Why a privileged program refused a request; None for a sound one. The codes up to Malformed
// say that the message is no sound request, and mean the same in the conversation of every
// privileged program; a program's own reasons (what it would not or could not do for a sound
// request) take the codes from kFirstOwnRefusal on and are named by its protocol.
enum class Refusal : std::uint16_t {
    None = 0,
    Truncated = 1,     // shorter than a request
    Oversized = 2,     // longer than a request
    WrongVersion = 3,  // another version of the conversation
    UnknownKind = 4,
    Malformed = 5,  // a field out of its range, a non-zero spare byte, ancillary data
};

inline constexpr std::uint16_t kFirstOwnRefusal = 6;

// Whether code, as a record carries it, is one of the refusals above other than None.
constexpr bool IsMessageRefusal(std::uint16_t code) {
    return code >= static_cast<std::uint16_t>(Refusal::Truncated) &&
           code <= static_cast<std::uint16_t>(Refusal::Malformed);
}

// One of the refusals above in a word or two ("malformed"); "unknown refusal" for any other.
const char* RefusalName(Refusal refusal);

}  // namespace quarnel::platform
