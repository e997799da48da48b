#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/IpAddress.h"

struct mnl_socket;
struct nlmsghdr;

namespace quarnel::platform {

// A TCP connection this machine translated to another destination, as the socket that took it
// sees it, and the port the client addressed.
struct TranslatedConnection {
    IpAddress LocalAddress{};  // the socket's own end (the translated destination)
    IpAddress RemoteAddress{};
    std::uint16_t LocalPort = 0;
    std::uint16_t RemotePort = 0;
    std::uint16_t OriginalPort = 0;  // the destination port before translation

    auto operator<=>(const TranslatedConnection&) const = default;
};

// The TCP connections of this network namespace's connection tracking whose destination was
// translated, read over netlink. Where nothing is tracked (the module absent, the table empty)
// a read costs one small file read and nothing more.
class TranslatedDestinations {
public:
    TranslatedDestinations();
    ~TranslatedDestinations();
    TranslatedDestinations(const TranslatedDestinations&) = delete;
    TranslatedDestinations& operator=(const TranslatedDestinations&) = delete;

    // Fills found with the translated connections, sorted; false when they could not be read
    // (found is then empty) and Error() tells why.
    bool Read(std::vector<TranslatedConnection>& found);
    // Whether connections may be tracked here at all: when not, neither Read nor Find would find
    // any.
    static bool Tracking();
    // The original port of one connection, by its ends as its socket sees them (0 when it was
    // not translated or is not tracked); false when it could not be asked.
    bool Find(TranslatedConnection& connection);
    // The errno of the last read that failed.
    int Error() const { return error_; }

private:
    struct Closer {
        void operator()(mnl_socket* socket) const;
    };
    bool Open();
    // A request in buffer_, with its header filled in.
    nlmsghdr* Request(std::uint16_t flags, std::uint8_t family);
    // Sends request and collects the translated entries of the answer; single: one entry
    // asked for, whose absence is no failure.
    bool Ask(const nlmsghdr* request, std::vector<TranslatedConnection>& found, bool single);

    std::unique_ptr<mnl_socket, Closer> socket_;
    std::vector<char> buffer_;
    std::vector<TranslatedConnection> one_;
    std::uint32_t sequence_ = 0;
    int error_ = 0;
};

}  // namespace quarnel::platform
