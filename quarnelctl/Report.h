#pragma once

#include <string>
#include <string_view>

#include "quarnelctl/GuardState.h"

namespace quarnel::ctl {

// What quarnelctl prints, as an administrator reads it: status, rules, namespaces or closes.
// now (microseconds since 1970) dates the uptime; times are written in local time.
std::string ReportText(std::string_view what, const GuardState& state, std::uint64_t now);
// The same as one JSON object.
std::string ReportJson(std::string_view what, const GuardState& state);
// The counters in Prometheus' text format, as node_exporter's textfile collector reads them.
std::string MetricsText(const GuardState& state);
// What the collector is given while the guard does not answer: quarnel_up 0.
std::string DownMetricsText();

}  // namespace quarnel::ctl
