// The rules file the service reads and the settings file the window program rewrites: whatever
// it holds, it is read as rules or refused whole; and a file that is understood, rewritten with
// new values, holds those values and everything else it held.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings/IniFormat.h"
#include "settings/RulesReading.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const quarnel::RulesReading reading = quarnel::ReadRulesText(text);
    using Outcome = quarnel::RulesReading::Outcome;
    if ((reading.Result == Outcome::Read) == (reading.Values.empty() || !reading.Problem.empty())) {
        std::abort();  // rules are read, or refused with a reason: never both, never neither
    }

    const quarnel::IniContents contents = quarnel::ReadIni(text);
    if (!contents.Understood) {
        return 0;
    }
    // Values of any bytes at all: the input's own tail, and the lists as the program keeps them.
    const quarnel::IniValues written = {
        {"BlockedLocalPortsString",
         std::string(text.substr(size - std::min<std::size_t>(size, 24)))},
        {"AllowedIPString", "127.0.0.1,::1"},
    };
    const quarnel::IniContents after = quarnel::ReadIni(quarnel::WithIniValues(text, written));
    if (!after.Understood) {
        std::abort();
    }
    for (const auto& [key, value] : written) {
        if (after.Find(key) == nullptr || *after.Find(key) != value) {
            std::abort();  // a value written does not read back as it was
        }
    }
    for (const auto& [key, value] : contents.Values) {
        const bool overwritten = key == written[0].first || key == written[1].first;
        if (!overwritten && (after.Find(key) == nullptr || *after.Find(key) != value)) {
            std::abort();  // the rewrite lost or changed what it was not asked to write
        }
    }
    return 0;
}
