#include "platform/linux/privileges/Refusal.h"

namespace quarnel::platform {

const char* RefusalName(Refusal refusal) {
    switch (refusal) {
        case Refusal::None:
            return "none";
        case Refusal::Truncated:
            return "truncated";
        case Refusal::Oversized:
            return "oversized";
        case Refusal::WrongVersion:
            return "wrong version";
        case Refusal::UnknownKind:
            return "unknown kind";
        case Refusal::Malformed:
            return "malformed";
    }
    return "unknown refusal";
}

}  // namespace quarnel::platform
