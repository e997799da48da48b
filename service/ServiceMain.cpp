// quarneld: Quarnel's guard as a system service, for machines without a desktop. It closes every
// established TCP connection that its rules block, as the window program does, and logs each on
// standard output. See Service.h, and quarnel.service for how systemd runs it.

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "service/Service.h"

namespace {

constexpr const char* kDefaultRules = "/etc/quarnel/Quarnel.ini";

void PrintHelp() {
    std::printf(
        "Usage: quarneld [--config PATH]\n"
        "\n"
        "Guards this machine against unwanted TCP connections, without a window: it closes\n"
        "every established TCP connection whose local or remote port its rules block, unless\n"
        "the remote address is allowed, and writes a line for each on standard output.\n"
        "\n"
        "  --config PATH  the rules file (default %s), in the format of the window program's\n"
        "                 settings file; read at start, on SIGHUP and whenever it changes,\n"
        "                 never written\n"
        "  --help         this text\n"
        "  --version      the version\n"
        "\n"
        "It needs CAP_NET_ADMIN to close connections, and CAP_BPF and CAP_PERFMON to follow\n"
        "the table through the kernel's reports (else it reads the table every millisecond).\n"
        "quarnel.service runs it with those and nothing more. SIGTERM and SIGINT end it.\n",
        kDefaultRules);
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "quarneld: %s\nTry quarneld --help.\n", problem.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string rules = kDefaultRules;
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
        if (argument == "--config" && i + 1 < argc && argv[i + 1][0] != '\0') {
            rules = argv[++i];
        } else if (argument.starts_with("--config=") && argument.size() > 9) {
            rules = std::string(argument.substr(9));
        } else {
            return Usage(argument == "--config" ? "--config needs a path"
                                                : "unknown argument " + std::string(argument));
        }
    }
    quarnel::Service service(rules);
    return service.Run();
}
