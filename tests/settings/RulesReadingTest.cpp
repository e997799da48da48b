// What the service makes of a rules file's text: the window program's files read as they are,
// and every file it cannot trust refused whole, with the reason.

#include "settings/RulesReading.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "engine/Settings.h"

namespace quarnel {
namespace {

using Values = std::map<std::string, std::string>;
using namespace std::string_literals;

// Comments, blanks around the pieces, IPv6, keys that are no rule list, the namespace switch. (A
// byte order mark, and the text kept as read, go through the service in Service.Follows...)
TEST(RulesReading, ReadsWhatAPersonWrites) {
    const RulesReading reading = ReadRulesText(
        "; mine\n[General]\n; the mail ports\nBlockedRemotePortsString=25, 465 ,587\n"
        "AllowedIPString=127.0.0.1,::1,10.20.0.0/16\nBlockedRemotePorts=80\n"
        "OwnNamespaceOnly=true\n[Other]\nBlockedLocalPortsString=x\n");
    EXPECT_EQ(reading.Result, RulesReading::Outcome::Read) << reading.Problem;
    EXPECT_EQ(reading.Values, (Values{{AllowedIPKey, "127.0.0.1,::1,10.20.0.0/16"},
                                      {BlockedRemotePortsKey, "25,465,587"}}));
    EXPECT_EQ(reading.IgnoredKeys,
              (std::vector<std::string>{"BlockedRemotePorts", "Other/BlockedLocalPortsString"}));
    EXPECT_EQ(reading.OwnNamespaceOnly, true);
}

TEST(RulesReading, RefusesWhatItCannotTrustAndSaysWhy) {
    const std::pair<std::string, std::string> cases[] = {
        {"[General]\nBlockedLocalPortsString=80\n\0\x01"s,
         "it is not a settings file (line 3 holds a control character)"},
        {"[General]\nBlockedLocalPorts=80\n", "holds none of the keys"},
        {"", "holds none of the keys"},
        {"[General]\nBlockedLocalPortsString=80,0\n",
         "BlockedLocalPortsString holds \"0\", which is no port number or range (1 to 65535)"},
        {"[General]\nBlockedRemotePortsString=10-5\n", "holds \"10-5\""},
        {"[General]\nAllowedIPString=10.20.1.2/16\n", "(its network is 10.20.0.0/16)"},
        {"[General]\nAllowedIPString=fe80::1%eth0\n", "which is no IPv4 or IPv6 address or prefix"},
        {"[General]\nAllowedIPString=\nOwnNamespaceOnly=yes\n",
         "OwnNamespaceOnly holds \"yes\", which is neither true nor false"},
    };
    for (const auto& [text, problem] : cases) {
        const RulesReading reading = ReadRulesText(text);
        EXPECT_EQ(reading.Result, RulesReading::Outcome::Unusable) << problem;
        EXPECT_NE(reading.Problem.find(problem), std::string::npos) << reading.Problem;
        EXPECT_TRUE(reading.Values.empty());
    }
}

}  // namespace
}  // namespace quarnel
