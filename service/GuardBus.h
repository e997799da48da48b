#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "service/GuardFacts.h"

struct sd_bus;
struct sd_bus_slot;

namespace quarnel {

// The service's read-only interface on the system bus: every fact of GuardFacts as a property of
// kInterface at kPath, under the name kName. Who may read it is the bus policy's to say (root and
// the group quarnel). It never makes the guard wait: the loop polls Descriptor and calls Process,
// which answers a bounded number of messages; the bus keeps what a slow reader has not taken.
class GuardBus {
public:
    static constexpr const char* kName = kGuardBusName;
    static constexpr const char* kPath = kGuardBusPath;
    static constexpr const char* kInterface = kGuardBusInterface;

    using Facts = std::function<GuardFacts()>;

    // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS where set) and takes kName; nullptr,
    // with problem, when either is refused.
    static std::unique_ptr<GuardBus> Open(Facts facts, std::string& problem);
    explicit GuardBus(Facts facts);  // unconnected: through Open
    ~GuardBus();
    GuardBus(const GuardBus&) = delete;
    GuardBus& operator=(const GuardBus&) = delete;

    int Descriptor() const;
    // The poll events it waits for.
    short Events() const;
    // Answers what came; false, with problem, when the connection is lost. Called on every
    // pass: what one call left waits for the next.
    bool Process(std::string& problem);

    // The facts of this moment, gathered once for all the messages of one Process.
    const GuardFacts& Current();

private:
    Facts facts_;
    sd_bus* bus_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
    std::optional<GuardFacts> current_;
};

}  // namespace quarnel
