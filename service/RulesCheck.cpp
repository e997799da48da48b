#include "service/RulesCheck.h"

#include "service/RulesFile.h"

namespace quarnel {

int CheckRulesFile(const std::string& path, std::FILE* out, std::FILE* err) {
    const RulesReading reading = ReadRulesFile(path);
    switch (reading.Result) {
        case RulesReading::Outcome::Read:
            std::fprintf(out, "%s: good; the rules it puts in force: %s\n", path.c_str(),
                         DescribeRules(reading).c_str());
            for (const std::string& key : reading.IgnoredKeys) {
                std::fprintf(out, "%s: the key %s is ignored (no rule list)\n", path.c_str(),
                             key.c_str());
            }
            return 0;
        case RulesReading::Outcome::Missing:
            std::fprintf(err, "%s: there is no such file; the rules in force would stay\n",
                         path.c_str());
            return 1;
        case RulesReading::Outcome::Unusable:
            break;
    }
    std::fprintf(err, "%s: refused: %s; the rules in force would stay\n", path.c_str(),
                 reading.Problem.c_str());
    return 1;
}

}  // namespace quarnel
