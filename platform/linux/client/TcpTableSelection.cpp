#include "platform/linux/client/TcpTableSelection.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/linux/client/FilteringTcpTable.h"
#include "platform/linux/client/HelperTcpTable.h"
#include "platform/linux/client/ReadOnlyTcpTable.h"
#include "platform/linux/events/EventTcpTable.h"
#include "platform/linux/owners/OwnedTcpTable.h"
#include "platform/linux/privileges/ProgramBeside.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"

namespace quarnel::platform {

namespace {

constexpr const char* kHelperName = "quarnel-helper";

// What to do to let it close, for the way this program was installed. The program built beside
// its helper (as scripts/run builds it) finds the helper of its build, which holds no
// capability: only the installed program finds the installed helper.
std::string WhatToDo() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::string installed = QUARNEL_INSTALLED_PROGRAM;
    const char* const join =
        "join the group quarnel (sudo usermod -aG quarnel $USER), then log out and in again";
    if (error || program != installed) {
        // The group first: the install gives the helper its right only when the group exists.
        return " To let it close them, create the group quarnel (sudo groupadd --system "
               "quarnel), install Quarnel (sudo cmake --install on a release build, or its "
               "package), " +
               std::string(join) + " and start the installed " + installed +
               ": a quarnel run from its build folder stays a viewer.";
    }
    if (installed.starts_with("/usr/bin/")) {
        // The package made the group and gave the helper its right.
        return std::string(" To let it close connections, ") + join + ".";
    }
    return " To let it close them, give its helper the right as the install printed (as root: "
           "groupadd --system quarnel, then chgrp, chmod and setcap on the helper; see "
           "README.md), " +
           std::string(join) + ".";
}

}  // namespace

std::string FindHelper() {
    return FindProgramBeside(kHelperName, {QUARNEL_HELPER_FROM_BINDIR, "."});
}

TcpTableSelection OpenTcpTableSource() {
    return OpenTcpTableSource(FindHelper());
}

TcpTableSelection OpenTcpTableSource(const std::string& helperPath, NamespaceScope filterScope) {
    TcpTableSelection selection;
    selection.HelperPath = helperPath;
    int error = 0;
    std::unique_ptr<LinuxTcpTable> local = LinuxTcpTable::Open(&error);
    if (!local) {
        selection.TableProblem = std::strerror(error);
    }
    const CloseAbility localAbility = local ? local->CanCloseConnections() : CloseAbility::Unknown;
    // Read here: the owners are found here too. The table lives on beneath them.
    SocketInodeReader* const inodes = local.get();
    SocketLookup* const sockets = local.get();
    // Guarding every namespace, the kernel's reports of every namespace are followed too.
    const auto owned = [&selection, inodes, filterScope](std::unique_ptr<LinuxTcpTable> table) {
        return WithOwners(WithKernelEvents(std::move(table), selection.Polling, filterScope),
                          inodes);
    };
    // Closing here: the kernel filter is attached here too, and where the kernel's reports are
    // missing, the packet filter's table tells of blocked connections instead.
    const auto filtered = [&selection, inodes, sockets,
                           filterScope](std::unique_ptr<LinuxTcpTable> table) {
        std::unique_ptr<LinuxTableSource> events =
            WithKernelEvents(std::move(table), selection.Polling, filterScope);
        FilterCause why;
        std::unique_ptr<RulesFilter> filter =
            OpenPayloadFilterAndLog(events, *sockets, selection.Polling, why, filterScope);
        auto filtering = std::make_unique<FilteringTcpTable>(WithOwners(std::move(events), inodes),
                                                             std::move(filter), why);
        selection.Filtering = filtering->Filtering();
        return filtering;
    };
    if (localAbility == CloseAbility::Allowed) {
        selection.Source = filtered(std::move(local));
        selection.Mode = TableMode::InProcess;
        selection.Ability = localAbility;
        return selection;
    }

    if (localAbility != CloseAbility::NotSupported && !helperPath.empty()) {
        CloseAbility helperAbility = CloseAbility::Unknown;
        std::unique_ptr<HelperTcpTable> helper =
            HelperTcpTable::Start(helperPath, helperAbility, selection.HelperProblem);
        if (helper && helperAbility == CloseAbility::Allowed) {
            selection.Polling = helper->Polling();
            selection.Filtering = helper->Filtering();
            selection.Source = std::move(helper);
            selection.Mode = TableMode::Helper;
            selection.Ability = helperAbility;
            return selection;
        }
        if (helper) {
            selection.HelperProblem = CloseAbilityText(helperAbility);
        }
    }

    selection.Ability = localAbility;
    if (local && localAbility == CloseAbility::Unknown) {
        // The question itself failed here: closing may well work, so it is tried.
        selection.Source = filtered(std::move(local));
        selection.Mode = TableMode::InProcess;
    } else if (local) {
        selection.Source =
            std::make_unique<ReadOnlyTcpTable>(owned(std::move(local)), localAbility);
        selection.Mode = TableMode::ReadOnly;
    }
    return selection;
}

std::string DescribeTcpTableSelection(const TcpTableSelection& selection) {
    if (!selection.Source) {
        return "Quarnel cannot read the TCP table (" + selection.TableProblem +
               "): it can neither show nor close connections.";
    }
    std::string helper;
    if (selection.HelperPath.empty()) {
        helper = std::string("its helper ") + kHelperName + " is not installed";
    } else if (!selection.HelperProblem.empty()) {
        helper = "its helper " + selection.HelperPath +
                 " cannot close them either: " + selection.HelperProblem;
    }
    switch (selection.Mode) {
        case TableMode::Helper:
            return "Quarnel closes connections through its helper " + selection.HelperPath +
                   ", which alone holds the right to.";
        case TableMode::InProcess:
            if (selection.Ability == CloseAbility::Allowed) {
                return "Quarnel closes connections itself: it runs with the right to "
                       "(CAP_NET_ADMIN).";
            }
            return "Quarnel could not find out whether it may close connections; it tries "
                   "anyway" +
                   (helper.empty() ? std::string(".") : " (" + helper + ").");
        case TableMode::ReadOnly:
            break;
    }
    if (selection.Ability == CloseAbility::NotSupported) {
        return "Quarnel only shows connections: this system's kernel cannot close connections "
               "on request (it lacks sock_diag destroy, CONFIG_INET_DIAG_DESTROY).";
    }
    return "Quarnel only shows connections: it lacks the right to close them (CAP_NET_ADMIN)" +
           (helper.empty() ? std::string() : ", and " + helper) + "." + WhatToDo();
}

std::string DescribePollingMode(const TcpTableSelection& selection) {
    if (!selection.Source || selection.Polling.Why == PollingCause::Kind::None) {
        return {};
    }
    if (selection.Polling.Logged) {
        return "Quarnel learns of blocked connections from its packet filter table, not from "
               "the kernel's reports (" +
               selection.Polling.Text() +
               "): it reads the whole connection table only every 5 seconds (beside many "
               "connections less often, some 20 seconds beside 20,000), so a connection the "
               "rules let through shows in the list that much later.";
    }
    std::string text =
        "Quarnel reads the whole connection table every millisecond, the slower way (about "
        "half a core with 200 connections, a whole core with 20,000): " +
        selection.Polling.Text() + ".";
    if (selection.Mode == TableMode::Helper &&
        selection.Polling.Why == PollingCause::Kind::NoRights) {
        text += " To make it fast, give its helper " + selection.HelperPath +
                " those capabilities too (see README.md).";
    }
    return text;
}

std::string DescribePayloadFilter(const TcpTableSelection& selection) {
    if (!selection.Source || selection.Mode == TableMode::ReadOnly) {
        return {};
    }
    const FilterCause& filtering = selection.Filtering;
    if (filtering.Why == FilterCause::Kind::None) {
        return "Quarnel holds back the data of blocked connections in the kernel (cgroup filter).";
    }
    if (filtering.Netfilter) {
        return "Quarnel holds back the data of blocked connections in the packet filter (a "
               "netfilter table of its own), not the kernel filter: " +
               filtering.Text() + ".";
    }
    return "Quarnel cannot hold back the data of blocked connections: " + filtering.Text() +
           ", and the packet filter refused its table. It closes them all the same, but a "
           "connection that lasts less than one read of the table may pass whole, and a few "
           "bytes may cross a longer one before it is closed.";
}

}  // namespace quarnel::platform
