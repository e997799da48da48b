#pragma once

#include <netinet/in.h>

#include <chrono>
#include <optional>
#include <vector>

#include "bench/BenchSupport.h"

// The traffic a site makes in its own network namespace while a guard watches: connections to
// the blocked port, timed until the guard closes them, and connections to open ports that come
// and go.
namespace quarnel::bench {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port);

// The IP versions a teardown is timed over: a client on 127.0.0.1 or on ::1.
enum class Family { IPv4 = 4, IPv6 = 6 };

// The blocked listener: on [::] without IPV6_V6ONLY, so that it takes both versions; at port,
// or at one the system chose.
Listener ListenDualStack(int backlog, int port = 0);

// Connects to the blocked port and waits for the guard to close the connection: the time from
// connect's return to recv's failure, or nothing when recv did not fail with ECONNABORTED.
std::optional<double> TimeTeardown(const Listener& blocked, Clock::duration patience,
                                   Family family = Family::IPv4);

// Opens and closes connections to the open listeners, perSecond of them each second for the
// given time, taking the listeners in turn (the client closes first, as a browser does).
void Churn(const std::vector<Listener>& open, int perSecond, std::chrono::milliseconds time);

// Connections opened at an even pace: to the blocked port and, in a mixed storm, as many to the
// open listeners in between. For each blocked one, the ms from connect to the guard's close, -1
// when it was not closed within the patience; and how many open ones were closed (none should).
struct StormResult {
    std::vector<double> ms;
    int innocentsClosed = 0;
};
StormResult Storm(const Listener& blocked, const std::vector<Listener>& open, int count,
                  std::chrono::milliseconds spread, std::chrono::milliseconds patience);

}  // namespace quarnel::bench
