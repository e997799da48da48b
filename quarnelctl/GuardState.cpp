#include "quarnelctl/GuardState.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

namespace quarnel::ctl {

namespace {

struct BusUnref {
    void operator()(sd_bus* bus) const { (void)sd_bus_flush_close_unref(bus); }
    void operator()(sd_bus_message* message) const { (void)sd_bus_message_unref(message); }
};

int Read(sd_bus_message* m, std::string& value) {
    const char* text = nullptr;
    const int r = sd_bus_message_read_basic(m, 's', &text);
    if (r > 0) {
        value = text;
    }
    return r;
}

int Read(sd_bus_message* m, std::uint64_t& value) {
    return sd_bus_message_read_basic(m, 't', &value);
}

int Read(sd_bus_message* m, std::uint32_t& value) {
    return sd_bus_message_read_basic(m, 'u', &value);
}

int Read(sd_bus_message* m, std::vector<std::string>& values) {
    int r = sd_bus_message_enter_container(m, 'a', "s");
    for (std::string value; r > 0 && (r = Read(m, value)) > 0;) {
        values.push_back(value);
    }
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

template <typename First, typename Second>
int Read(sd_bus_message* m, const char* inner, std::vector<std::pair<First, Second>>& values) {
    int r = sd_bus_message_enter_container(m, 'a', (std::string("(") + inner + ")").c_str());
    while (r > 0 && (r = sd_bus_message_enter_container(m, 'r', inner)) > 0) {
        std::pair<First, Second> value;
        if ((r = Read(m, value.first)) > 0 && (r = Read(m, value.second)) > 0) {
            values.push_back(std::move(value));
            r = sd_bus_message_exit_container(m);
        }
    }
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

// One property's value, its variant entered; properties it does not know are skipped, so that
// an older quarnelctl reads a newer service.
int ReadProperty(sd_bus_message* m, std::string_view name, GuardState& s) {
    const auto plain = [&](auto& field, const char* type) {
        int r = sd_bus_message_enter_container(m, 'v', type);
        if (r > 0 && (r = Read(m, field)) > 0) {
            r = sd_bus_message_exit_container(m);
        }
        return r;
    };
    const auto pairs = [&](auto& field, const char* type, const char* inner) {
        int r = sd_bus_message_enter_container(m, 'v', type);
        if (r > 0 && (r = Read(m, inner, field)) >= 0) {
            r = sd_bus_message_exit_container(m);
        }
        return r;
    };
    if (name == "Version")
        return plain(s.Version, "s");
    if (name == "Mode")
        return plain(s.Mode, "s");
    if (name == "RulesFile")
        return plain(s.RulesFile, "s");
    if (name == "RulesFrom")
        return plain(s.RulesFrom, "s");
    if (name == "BlockedLocalPorts")
        return plain(s.BlockedLocalPorts, "as");
    if (name == "BlockedRemotePorts")
        return plain(s.BlockedRemotePorts, "as");
    if (name == "AllowedAddresses")
        return plain(s.AllowedAddresses, "as");
    if (name == "Namespaces")
        return pairs(s.Namespaces, "a(us)", "us");
    if (name == "StartedAt")
        return plain(s.StartedAt, "t");
    if (name == "Connections")
        return plain(s.Connections, "t");
    if (name == "Closed")
        return plain(s.Closed, "t");
    if (name == "Missed")
        return plain(s.Missed, "t");
    if (name == "Untold")
        return plain(s.Untold, "t");
    if (name == "LinesLost")
        return plain(s.LinesLost, "t");
    if (name == "ClosedByEntry")
        return pairs(s.ClosedByEntry, "a(st)", "st");
    if (name == "LastCloses")
        return pairs(s.LastCloses, "a(ts)", "ts");
    return sd_bus_message_skip(m, "v");
}

}  // namespace

AskFailure AskGuard(GuardState& state, std::string& problem) {
    sd_bus* opened = nullptr;
    int r = sd_bus_open_system(&opened);
    const std::unique_ptr<sd_bus, BusUnref> bus(opened);
    if (r < 0) {
        problem = std::string("cannot reach the system bus: ") + std::strerror(-r);
        return AskFailure::NoBus;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* answered = nullptr;
    r = sd_bus_call_method(bus.get(), kGuardBusName, kGuardBusPath,
                           "org.freedesktop.DBus.Properties", "GetAll", &error, &answered, "s",
                           kGuardBusInterface);
    const std::unique_ptr<sd_bus_message, BusUnref> reply(answered);
    if (r < 0) {
        const AskFailure why = sd_bus_error_has_names(&error, SD_BUS_ERROR_SERVICE_UNKNOWN,
                                                      SD_BUS_ERROR_NAME_HAS_NO_OWNER)
                                   ? AskFailure::NotRunning
                               : sd_bus_error_has_name(&error, SD_BUS_ERROR_ACCESS_DENIED)
                                   ? AskFailure::Refused
                                   : AskFailure::Other;
        problem = why == AskFailure::NotRunning
                      ? "quarneld is not running (nobody answers as " + std::string(kGuardBusName) +
                            " on the system bus)"
                  : why == AskFailure::Refused
                      ? "refused: only root and the members of the group quarnel may ask "
                        "quarneld"
                      : std::string("quarneld did not answer: ") +
                            (error.message != nullptr ? error.message : std::strerror(-r));
        sd_bus_error_free(&error);
        return why;
    }
    r = sd_bus_message_enter_container(reply.get(), 'a', "{sv}");
    while (r > 0 && (r = sd_bus_message_enter_container(reply.get(), 'e', "sv")) > 0) {
        std::string name;
        if ((r = Read(reply.get(), name)) > 0 &&
            (r = ReadProperty(reply.get(), name, state)) >= 0) {
            r = sd_bus_message_exit_container(reply.get());
        }
    }
    if (r < 0) {
        problem = std::string("quarneld's answer could not be read: ") + std::strerror(-r);
        return AskFailure::Other;
    }
    return AskFailure::None;
}

}  // namespace quarnel::ctl
