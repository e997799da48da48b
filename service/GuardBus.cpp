#include "service/GuardBus.h"

#include <poll.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace quarnel {

namespace {

// A message one read would answer at most: a burst of readers waits for the next pass.
constexpr int kMessagesPerPass = 32;

std::string Problem(int error) {
    return std::strerror(error < 0 ? -error : error);
}

int AppendStrings(sd_bus_message* reply, const std::vector<std::string>& strings) {
    int r = sd_bus_message_open_container(reply, 'a', "s");
    for (auto s = strings.begin(); r >= 0 && s != strings.end(); ++s) {
        r = sd_bus_message_append_basic(reply, 's', s->c_str());
    }
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

template <typename First, typename Second>
int AppendPairs(sd_bus_message* reply, const char* signature,
                const std::vector<std::pair<First, Second>>& pairs) {
    const std::string inner = std::string(signature).substr(1, 2);
    int r = sd_bus_message_open_container(reply, 'a', signature);
    for (auto p = pairs.begin(); r >= 0 && p != pairs.end(); ++p) {
        r = sd_bus_message_open_container(reply, 'r', inner.c_str());
        if (r >= 0) {
            if constexpr (std::is_same_v<First, std::string>) {
                r = sd_bus_message_append(reply, inner.c_str(), p->first.c_str(), p->second);
            } else {
                r = sd_bus_message_append(reply, inner.c_str(), p->first, p->second.c_str());
            }
        }
        if (r >= 0) {
            r = sd_bus_message_close_container(reply);
        }
    }
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

}  // namespace

namespace {

// Every property is read here.
int Get(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/, const char* property,
        sd_bus_message* reply, void* self, sd_bus_error* /*error*/) {
    const GuardFacts& facts = static_cast<GuardBus*>(self)->Current();
    const std::string_view name = property;
    const auto text = [&](const std::string& value) {
        return sd_bus_message_append_basic(reply, 's', value.c_str());
    };
    const auto count = [&](std::uint64_t value) {
        return sd_bus_message_append_basic(reply, 't', &value);
    };
    if (name == "Version")
        return text(facts.Version);
    if (name == "Mode")
        return text(facts.Mode);
    if (name == "RulesFile")
        return text(facts.RulesFile);
    if (name == "RulesFrom")
        return text(facts.RulesFrom);
    if (name == "BlockedLocalPorts")
        return AppendStrings(reply, facts.BlockedLocalPorts);
    if (name == "BlockedRemotePorts")
        return AppendStrings(reply, facts.BlockedRemotePorts);
    if (name == "AllowedAddresses")
        return AppendStrings(reply, facts.AllowedAddresses);
    if (name == "Namespaces")
        return AppendPairs(reply, "(us)", facts.Namespaces);
    if (name == "StartedAt")
        return count(facts.StartedAt);
    if (name == "Connections")
        return count(facts.Connections);
    if (name == "Closed")
        return count(facts.Closed);
    if (name == "Missed")
        return count(facts.Missed);
    if (name == "Untold")
        return count(facts.Untold);
    if (name == "LinesLost")
        return count(facts.LinesLost);
    if (name == "ClosedByEntry")
        return AppendPairs(reply, "(st)", facts.ClosedByEntry);
    if (name == "LastCloses")
        return AppendPairs(reply, "(ts)", facts.LastCloses);
    return -ENOENT;
}

}  // namespace

GuardBus::GuardBus(Facts facts) : facts_(std::move(facts)) {}

GuardBus::~GuardBus() {
    (void)sd_bus_slot_unref(slot_);
    // Without waiting for what a reader has not taken: a stop never hangs on the bus.
    (void)sd_bus_close_unref(bus_);
}

std::unique_ptr<GuardBus> GuardBus::Open(Facts facts, std::string& problem) {
    // None is told of by a signal (the counters change with every close): a reader asks again.
    constexpr std::uint64_t kAsked = 0;
    constexpr std::uint64_t kFixed = SD_BUS_VTABLE_PROPERTY_CONST;
    static const sd_bus_vtable kVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Version", "s", Get, 0, kFixed),
        SD_BUS_PROPERTY("Mode", "s", Get, 0, kAsked),
        SD_BUS_PROPERTY("RulesFile", "s", Get, 0, kFixed),
        SD_BUS_PROPERTY("RulesFrom", "s", Get, 0, kAsked),
        SD_BUS_PROPERTY("BlockedLocalPorts", "as", Get, 0, kAsked),
        SD_BUS_PROPERTY("BlockedRemotePorts", "as", Get, 0, kAsked),
        SD_BUS_PROPERTY("AllowedAddresses", "as", Get, 0, kAsked),
        SD_BUS_PROPERTY("Namespaces", "a(us)", Get, 0, kAsked),
        SD_BUS_PROPERTY("StartedAt", "t", Get, 0, kFixed),
        SD_BUS_PROPERTY("Connections", "t", Get, 0, kAsked),
        SD_BUS_PROPERTY("Closed", "t", Get, 0, kAsked),
        SD_BUS_PROPERTY("Missed", "t", Get, 0, kAsked),
        SD_BUS_PROPERTY("Untold", "t", Get, 0, kAsked),
        SD_BUS_PROPERTY("LinesLost", "t", Get, 0, kAsked),
        SD_BUS_PROPERTY("ClosedByEntry", "a(st)", Get, 0, kAsked),
        SD_BUS_PROPERTY("LastCloses", "a(ts)", Get, 0, kAsked),
        SD_BUS_VTABLE_END};
    auto served = std::make_unique<GuardBus>(std::move(facts));
    int r = sd_bus_open_system(&served->bus_);
    if (r < 0) {
        problem = "cannot reach the system bus: " + Problem(r);
        return nullptr;
    }
    // A bus that does not answer holds the start up for two seconds at most, not the default 25.
    (void)sd_bus_set_method_call_timeout(served->bus_, 2'000'000);  // only fails on a bad bus
    r = sd_bus_add_object_vtable(served->bus_, &served->slot_, kPath, kInterface, kVtable,
                                 served.get());
    if (r >= 0) {
        r = sd_bus_request_name(served->bus_, kName, 0);
    }
    if (r < 0) {
        problem = std::string("the system bus refused it the name ") + kName + ": " + Problem(r);
        return nullptr;
    }
    return served;
}

int GuardBus::Descriptor() const {
    return sd_bus_get_fd(bus_);
}

short GuardBus::Events() const {
    const int events = sd_bus_get_events(bus_);
    return static_cast<short>(events > 0 ? events : POLLIN);
}

bool GuardBus::Process(std::string& problem) {
    int r = 1;
    for (int i = 0; r > 0 && i < kMessagesPerPass; ++i) {
        r = sd_bus_process(bus_, nullptr);
    }
    current_.reset();  // the next reader sees the facts of its time
    if (r < 0) {
        problem = "lost the system bus: " + Problem(r);
        return false;
    }
    return true;
}

const GuardFacts& GuardBus::Current() {
    if (!current_) {
        current_ = facts_();
    }
    return *current_;
}

}  // namespace quarnel
