#include "quarnelctl/Report.h"

#include <cstdio>
#include <ctime>

namespace quarnel::ctl {

namespace {

std::string Grouped(std::uint64_t number) {
    const std::string digits = std::to_string(number);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) {
            grouped += ',';
        }
        grouped += digits[i];
    }
    return grouped;
}

std::string Counted(std::uint64_t number, const std::string& what) {
    return Grouped(number) + " " + what + (number == 1 ? "" : "s");
}

std::string LocalTime(std::uint64_t microseconds) {
    const auto seconds = static_cast<std::time_t>(microseconds / 1'000'000);
    std::tm parts{};
    char text[32] = "?";
    if (::localtime_r(&seconds, &parts) != nullptr) {
        (void)std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    }
    return text;
}

std::string Span(std::uint64_t microseconds) {
    std::uint64_t left = microseconds / 1'000'000;
    const std::uint64_t days = left / 86400, hours = left / 3600 % 24, minutes = left / 60 % 60;
    if (days > 0)
        return std::to_string(days) + " d " + std::to_string(hours) + " h";
    if (hours > 0)
        return std::to_string(hours) + " h " + std::to_string(minutes) + " min";
    if (minutes > 0)
        return std::to_string(minutes) + " min";
    return std::to_string(left) + " s";
}

std::string List(const std::vector<std::string>& entries) {
    std::string text;
    for (const std::string& entry : entries) {
        if (!text.empty()) {
            text += ", ";
        }
        text += entry;
    }
    return text.empty() ? "none" : text;
}

// A JSON string, quoted.
std::string Quoted(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\t':
                quoted += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    (void)std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    quoted += escaped;
                } else {
                    quoted += c;
                }
        }
    }
    return quoted + "\"";
}

std::string JsonList(const std::vector<std::string>& entries) {
    std::string text = "[";
    for (const std::string& entry : entries) {
        if (text.size() > 1) {
            text += ',';
        }
        text += Quoted(entry);
    }
    return text + "]";
}

// A JSON list of objects of two fields, a number and a text, from pairs of them.
template <typename Pairs>
std::string JsonObjects(const Pairs& pairs, std::string_view number, std::string_view text) {
    std::string list = "[";
    for (const auto& [value, words] : pairs) {
        list += list.size() > 1 ? ",{\"" : "{\"";
        list.append(number).append("\":").append(std::to_string(value));
        list.append(",\"").append(text).append("\":").append(Quoted(words)).append("}");
    }
    return list + "]";
}

// A label's value in Prometheus' text format.
std::string Label(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        escaped += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
    }
    return escaped;
}

std::string Counter(const char* name, const char* help, std::uint64_t value) {
    return std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " counter\n" + name +
           " " + std::to_string(value) + "\n";
}

}  // namespace

std::string ReportText(std::string_view what, const GuardState& s, std::uint64_t now) {
    std::string text;
    if (what == "status") {
        text = "quarneld " + s.Version + ", up " + Span(now > s.StartedAt ? now - s.StartedAt : 0) +
               " (since " + LocalTime(s.StartedAt) + ")\n";
        text += "guarding " + Counted(s.Connections, "connection") + " in " +
                Counted(s.Namespaces.size(), "network namespace") + "\n";
        text += "closed " + Grouped(s.Closed) + ", missed " + Grouped(s.Missed) +
                " (ended before they could be closed)\n";
        if (s.Untold + s.LinesLost != 0) {
            text += "log: " + Grouped(s.Untold) + " closes only counted in a summary line, " +
                    Grouped(s.LinesLost) + " lines lost\n";
        }
        for (const auto& [entry, count] : s.ClosedByEntry) {
            text += "  " + Grouped(count) + " closed by " + entry + "\n";
        }
        text += "rules from " + s.RulesFrom + "\n" + s.Mode + "\n";
    } else if (what == "rules") {
        text = "rules from " + s.RulesFrom + "\nblocked local ports: " + List(s.BlockedLocalPorts) +
               "\nblocked remote ports: " + List(s.BlockedRemotePorts) +
               "\nallowed addresses: " + List(s.AllowedAddresses) + "\n";
    } else if (what == "namespaces") {
        for (const auto& [inode, name] : s.Namespaces) {
            text += "net:[" + std::to_string(inode) + "]\t" +
                    (name == "own" ? std::string("its own") : name) + "\n";
        }
    } else if (what == "closes") {
        for (const auto& [time, line] : s.LastCloses) {
            text += LocalTime(time) + " " + line + "\n";
        }
        if (text.empty()) {
            text = "nothing closed since " + LocalTime(s.StartedAt) + "\n";
        }
    }
    return text;
}

std::string ReportJson(std::string_view what, const GuardState& s) {
    std::string json = "{";
    const auto field = [&](const char* name, const std::string& value) {
        if (json.size() > 1) {
            json += ',';
        }
        json += Quoted(name);
        json += ':';
        json += value;
    };
    if (what == "status") {
        field("version", Quoted(s.Version));
        field("mode", Quoted(s.Mode));
        field("rules_from", Quoted(s.RulesFrom));
        field("started_at_us", std::to_string(s.StartedAt));
        field("connections", std::to_string(s.Connections));
        field("namespaces", std::to_string(s.Namespaces.size()));
        field("closed", std::to_string(s.Closed));
        field("missed", std::to_string(s.Missed));
        field("untold", std::to_string(s.Untold));
        field("lines_lost", std::to_string(s.LinesLost));
        std::string entries = "{";
        for (const auto& [entry, count] : s.ClosedByEntry) {
            if (entries.size() > 1) {
                entries += ',';
            }
            entries += Quoted(entry);
            entries += ':';
            entries += std::to_string(count);
        }
        field("closed_by_entry", entries + "}");
    } else if (what == "rules") {
        field("rules_file", Quoted(s.RulesFile));
        field("rules_from", Quoted(s.RulesFrom));
        field("blocked_local_ports", JsonList(s.BlockedLocalPorts));
        field("blocked_remote_ports", JsonList(s.BlockedRemotePorts));
        field("allowed_addresses", JsonList(s.AllowedAddresses));
    } else if (what == "namespaces") {
        field("namespaces", JsonObjects(s.Namespaces, "inode", "name"));
    } else if (what == "closes") {
        field("closes", JsonObjects(s.LastCloses, "time_us", "line"));
    }
    return json + "}\n";
}

namespace {

std::string Up(bool up) {
    return std::string(
               "# HELP quarnel_up Whether quarneld answered.\n# TYPE quarnel_up gauge\n"
               "quarnel_up ") +
           (up ? "1" : "0") + "\n";
}

}  // namespace

std::string DownMetricsText() {
    return Up(false);
}

std::string MetricsText(const GuardState& s) {
    std::string text = Up(true);
    text +=
        "# HELP quarnel_start_time_seconds When quarneld started, since 1970.\n"
        "# TYPE quarnel_start_time_seconds gauge\nquarnel_start_time_seconds " +
        std::to_string(s.StartedAt / 1'000'000) + "\n";
    text +=
        "# HELP quarnel_connections Connections guarded now.\n"
        "# TYPE quarnel_connections gauge\nquarnel_connections " +
        std::to_string(s.Connections) + "\n";
    text +=
        "# HELP quarnel_namespaces Network namespaces guarded now.\n"
        "# TYPE quarnel_namespaces gauge\nquarnel_namespaces " +
        std::to_string(s.Namespaces.size()) + "\n";
    text += Counter("quarnel_closed_total", "Connections closed since quarneld started.", s.Closed);
    text += Counter("quarnel_missed_total",
                    "Blocked connections that ended before they could be closed.", s.Missed);
    text +=
        Counter("quarnel_untold_closes_total",
                "Closes counted only in a summary line, past the journal's line limit.", s.Untold);
    text += Counter("quarnel_log_lines_lost_total", "Log lines the output could not take.",
                    s.LinesLost);
    text +=
        "# HELP quarnel_closed_by_entry_total Connections closed, by the rule entry that "
        "blocked them.\n# TYPE quarnel_closed_by_entry_total counter\n";
    for (const auto& [entry, count] : s.ClosedByEntry) {
        text += "quarnel_closed_by_entry_total{entry=\"" + Label(entry) + "\"} " +
                std::to_string(count) + "\n";
    }
    return text;
}

}  // namespace quarnel::ctl
