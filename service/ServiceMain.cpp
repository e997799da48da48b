// quarneld: Quarnel's guard as a system service, for machines without a desktop. It closes every
// established TCP connection that its rules block, as the window program does, and logs each on
// standard output. See Service.h, and quarnel.service for how systemd runs it.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "service/RulesCheck.h"
#include "service/Service.h"
#include "service/StopReport.h"

namespace {

constexpr const char* kDefaultRules = "/etc/quarnel/Quarnel.ini";
// Under systemd the copy of the last rules accepted goes to the unit's StateDirectory=.
constexpr const char* kAcceptedName = "/accepted.ini";

void PrintHelp() {
    std::printf(
        "Usage: quarneld [--config PATH] [--own-namespace]\n"
        "       quarneld --check [--config PATH]\n"
        "       quarneld --stopped\n"
        "\n"
        "Guards this machine against unwanted TCP connections, without a window: it\n"
        "closes every established TCP connection whose local or remote port its rules\n"
        "block, unless the remote address is allowed, and writes a line for each on\n"
        "standard output.\n"
        "\n"
        "  --config PATH  the rules file (default %s),\n"
        "                 in the format of the window program's settings file; read\n"
        "                 at start, on SIGHUP and whenever it changes, never written\n"
        "  --own-namespace  guard this network namespace alone, not those of the\n"
        "                 containers and other namespaces it sees (also the rules\n"
        "                 file's OwnNamespaceOnly=true)\n"
        "  --check        read the rules file as a reload would, print the rules it\n"
        "                 would put in force or why it is refused, and end (status 0\n"
        "                 or 1)\n"
        "  --stopped      as the unit's ExecStopPost=: say in the journal when\n"
        "                 systemd's watchdog ended the run ($SERVICE_RESULT)\n"
        "  --help         this text\n"
        "  --version      the version\n"
        "\n"
        "It needs CAP_NET_ADMIN to close connections, and CAP_BPF and CAP_PERFMON to\n"
        "follow the table through the kernel's reports (else it reads the table every\n"
        "millisecond), and CAP_SYS_ADMIN and CAP_SYS_PTRACE at start for quarnel-netns,\n"
        "which opens sockets in the other network namespaces (it keeps neither).\n"
        "quarnel.service runs it with those and nothing more. SIGTERM and\n"
        "SIGINT end it.\n",
        kDefaultRules);
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "quarneld: %s\nTry quarneld --help.\n", problem.c_str());
    return 2;
}

// The first folder of $STATE_DIRECTORY (systemd lists them with colons), or empty.
std::string AcceptedPath() {
    const char* folders = std::getenv("STATE_DIRECTORY");
    if (folders == nullptr || folders[0] == '\0') {
        return {};
    }
    const std::string_view all = folders;
    return std::string(all.substr(0, all.find(':'))) + kAcceptedName;
}

}  // namespace

int main(int argc, char** argv) {
    std::string rules = kDefaultRules;
    bool check = false;
    bool ownNamespace = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help") {
            PrintHelp();
            return 0;
        }
        if (argument == "--version") {
            std::printf("quarneld %s\n", QUARNEL_VERSION);
            return 0;
        }
        if (argument == "--stopped") {
            return quarnel::ReportStop();
        }
        if (argument == "--check") {
            check = true;
        } else if (argument == "--own-namespace") {
            ownNamespace = true;
        } else if (argument == "--config" && i + 1 < argc && argv[i + 1][0] != '\0') {
            rules = argv[++i];
        } else if (argument.starts_with("--config=") && argument.size() > 9) {
            rules = std::string(argument.substr(9));
        } else {
            return Usage(argument == "--config" ? "--config needs a path"
                                                : "unknown argument " + std::string(argument));
        }
    }
    if (check) {
        return quarnel::CheckRulesFile(rules);
    }
    quarnel::Service service(rules, AcceptedPath(), ownNamespace);
    return service.Run();
}
