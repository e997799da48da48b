#include "service/AcceptedRules.h"

#include "platform/RegularFile.h"

namespace quarnel {

bool AcceptedRules::Keep(const std::string& text, std::string& problem) {
    if (path_.empty() || text == kept_) {
        return true;
    }
    // Readable to the service alone, as its state folder is.
    if (!platform::WriteRegularFile(path_, text, 0600, problem)) {
        return false;
    }
    kept_ = text;
    return true;
}

RulesReading AcceptedRules::Read() {
    if (path_.empty()) {
        RulesReading none;
        none.Result = RulesReading::Outcome::Missing;
        return none;
    }
    RulesReading reading = ReadRulesFile(path_);
    if (reading.Result == RulesReading::Outcome::Read) {
        kept_ = reading.Text;
    }
    return reading;
}

}  // namespace quarnel
