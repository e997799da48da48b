#include "service/RulesFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSettings>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "engine/Settings.h"
#include "platform/RuleEntry.h"
#include "platform/linux/UniqueFd.h"
#include "settings/IniSettingsStore.h"
#include "settings/RegularFile.h"

namespace quarnel {

namespace {

using platform::UniqueFd;

// Far above any rule list a person keeps; a larger file is no rules file.
constexpr std::size_t kLargestFile = std::size_t{1} << 20;
constexpr const char* kNotSettings =
    "it is not a settings file (a line is neither [section], key=value nor a ; comment, or it "
    "holds control characters)";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::array<const char*, 3> kKeys = {BlockedLocalPortsKey, BlockedRemotePortsKey,
                                              AllowedIPKey};

RulesReading Unusable(std::string problem, int error = 0) {
    RulesReading reading;
    reading.Problem = std::move(problem);
    reading.Error = error;
    return reading;
}

// The file unusable for what the system kept it from doing, with the reason.
RulesReading SystemError(const std::string& what) {
    const int error = errno;
    return Unusable(what + ": " + std::strerror(error), error);
}

// The whole file, read through one descriptor so that every check below sees the same bytes.
std::optional<std::string> ReadBytes(const std::string& path, RulesReading& reading) {
    FileReading file = ReadRegularFile(path, kLargestFile);
    errno = file.Error;  // for SystemError
    switch (file.Result) {
        case FileReading::Outcome::Read:
            return std::move(file.Bytes);
        case FileReading::Outcome::Missing:
            reading = RulesReading{RulesReading::Outcome::Missing, {}, {}, {}, {}, 0, {}};
            break;
        case FileReading::Outcome::NoAccess:
            reading = Unusable("the user it runs as (uid " + std::to_string(::geteuid()) +
                               ") may not read it: give it mode 0644 (chmod 0644 " + path +
                               "), or give its group read access and the service that group");
            break;
        case FileReading::Outcome::NotRegular:
            reading = Unusable("it is not a regular file");
            break;
        case FileReading::Outcome::TooLarge:
            reading = Unusable("it is larger than 1 MiB");
            break;
        case FileReading::Outcome::Failed:
            reading = SystemError(file.Opened ? "cannot read it" : "cannot open it");
            break;
    }
    return std::nullopt;
}

// The bytes in a file of this process's memory, which Qt's INI reader then parses: it sees
// exactly the bytes checked, and never the rules file's path, so it cannot write there. Qt keeps
// parsed files by path and trusts an unchanged size and time, and the copies' paths repeat: each
// copy's time is its inode number, which no earlier copy had, so an earlier copy's values never
// come back.
std::optional<UniqueFd> MemoryCopy(const std::string& bytes, RulesReading& reading) {
    UniqueFd memory(::memfd_create("quarnel-rules", MFD_CLOEXEC));
    struct stat status {};
    if (!memory || ::fstat(memory.Get(), &status) != 0) {
        reading = SystemError("cannot copy it to memory");
        return std::nullopt;
    }
    const std::array<timespec, 2> times{timespec{0, UTIME_OMIT},
                                        timespec{static_cast<time_t>(status.st_ino), 0}};
    if (::write(memory.Get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        ::futimens(memory.Get(), times.data()) != 0) {
        reading = SystemError("cannot copy it to memory");
        return std::nullopt;
    }
    return memory;
}

// The first piece of the value that is not of its list's kind, as a problem; empty when none.
std::string PieceProblem(std::string_view key, std::string_view value) {
    const bool ports = key != AllowedIPKey;
    while (!value.empty()) {
        const auto end = value.find(',');
        const std::string piece(value.substr(0, end));
        const platform::AddressEntry address =
            ports ? platform::AddressEntry{} : platform::ParseAddressEntry(piece);
        if (!piece.empty() && (ports ? !platform::ParsePortEntry(piece)
                                     : address.Is != platform::AddressEntry::Kind::Prefix)) {
            std::string problem =
                std::string(key) + " holds \"" + piece + "\", which is no " +
                (ports ? "port number or range (1 to 65535)" : "IPv4 or IPv6 address or prefix");
            if (address.Is == platform::AddressEntry::Kind::HostBitsSet) {
                problem += " (its network is " + platform::AddressEntryText(address.Prefix) + ")";
            }
            return problem;
        }
        value = end == std::string_view::npos ? std::string_view{} : value.substr(end + 1);
    }
    return {};
}

}  // namespace

std::string RuleValues::Read(const std::string& key, const std::string& defaultValue) {
    const auto found = Values.find(key);
    return found == Values.end() ? defaultValue : found->second;
}

void RuleValues::Write(const std::string& /*key*/, const std::string& /*value*/) {}

RulesReading ReadRulesFile(const std::string& path) {
    RulesReading reading;
    const std::optional<std::string> bytes = ReadBytes(path, reading);
    if (!bytes) {
        return reading;
    }
    std::string_view text = *bytes;
    if (text.starts_with(kByteOrderMark)) {
        text.remove_prefix(kByteOrderMark.size());
    }
    if (!IsSettingsText(text)) {
        return Unusable(kNotSettings);
    }
    const std::optional<UniqueFd> memory = MemoryCopy(std::string(text), reading);
    if (!memory) {
        return reading;
    }
    const QString copy = QStringLiteral("/proc/self/fd/%1").arg(memory->Get());
    const QSettings settings(copy, QSettings::IniFormat);
    // Qt parses a section's lines when they are first asked for: the keys first, then whether
    // every line parsed.
    const QStringList keys = settings.allKeys();
    if (settings.status() != QSettings::NoError) {
        return Unusable(settings.status() == QSettings::AccessError
                            ? "cannot read its copy in memory"
                            : kNotSettings);
    }
    reading = RulesReading{RulesReading::Outcome::Read, {}, {}, {}, *bytes, 0, {}};
    for (const QString& key : keys) {
        const std::string name = key.toStdString();
        if (name == kOwnNamespaceOnlyKey) {
            const std::string value = StoredText(settings.value(key));
            if (value != "true" && value != "false") {
                return Unusable(name + " holds \"" + value + "\", which is neither true nor false");
            }
            reading.OwnNamespaceOnly = value == "true";
            continue;
        }
        if (std::find(kKeys.begin(), kKeys.end(), name) == kKeys.end()) {
            reading.IgnoredKeys.push_back(name);
            continue;
        }
        std::string value = StoredText(settings.value(key));
        if (std::string problem = PieceProblem(name, value); !problem.empty()) {
            return Unusable(std::move(problem));
        }
        reading.Values.emplace(name, std::move(value));
    }
    if (reading.Values.empty()) {
        return Unusable("it holds none of the keys " + std::string(BlockedLocalPortsKey) + ", " +
                        BlockedRemotePortsKey + " and " + AllowedIPKey +
                        " in its section [General] (empty, or not yet fully written?)");
    }
    return reading;
}

std::string DescribeRules(const RulesReading& reading) {
    // The engine's own lists, loaded as the service loads them, say it as the service would.
    struct NoHosts final : platform::HostAddressSource {
        platform::HostAddresses GetHostAddresses() override { return {}; }
    } hosts;
    const TcpTable table;
    ConnectionCache cache;
    RuleValues values;
    values.Values = reading.Values;
    Manager oManager(table, cache, values, hosts);
    (void)oManager.LoadSettings();  // every piece was checked when the file was read
    return DescribeRules(oManager);
}

std::string DescribeRules(const Manager& oManager) {
    const auto list = [&oManager](const List& oList) {
        const std::string text = oManager.SaveListToString(oList);
        return text.empty() ? std::string("none") : text;
    };
    return "blocked local ports " + list(oManager.oBlockedLocalPorts) + "; blocked remote ports " +
           list(oManager.oBlockedRemotePorts) + "; allowed addresses " + list(oManager.oAllowedIP);
}

}  // namespace quarnel
