#include "engine/Rules.h"

namespace quarnel {

bool IsAllowedIP(const std::string& text, const List& oAllowedIP) {
    if (text.empty()) {
        return false;
    }
    return oAllowedIP.FindItem("=", text, true, 0, false, 1) >= 0;
}

bool IsInList(std::int32_t port, const List& oList) {
    return oList.FindItem("=", port, true, 0, false, 1) >= 0;
}

}  // namespace quarnel
