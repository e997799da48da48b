# Run by cmake --install after the helper is copied: gives it to the group quarnel (mode 0750)
# with the right to close connections and to load the kernel program that reports the table's
# changes (cap_net_admin,cap_bpf,cap_perfmon+ep). That needs root, the group and
# setcap; without them it prints the commands to run as root instead.

# A staged install (DESTDIR), as a package build makes, grants nothing and says nothing: the
# package's own scripts grant the helper on the machine it is installed on.
if(NOT "$ENV{DESTDIR}" STREQUAL "")
    return()
endif()

if(IS_ABSOLUTE "${QUARNEL_HELPER_LIBEXECDIR}")
    set(helper "${QUARNEL_HELPER_LIBEXECDIR}/quarnel-helper")
else()
    set(helper "${CMAKE_INSTALL_PREFIX}/${QUARNEL_HELPER_LIBEXECDIR}/quarnel-helper")
endif()

execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND getent group quarnel RESULT_VARIABLE noGroup OUTPUT_QUIET ERROR_QUIET)
find_program(QUARNEL_SETCAP setcap PATHS /usr/sbin /sbin)

set(granted FALSE)
if(uid STREQUAL "0" AND noGroup EQUAL 0 AND QUARNEL_SETCAP)
    # In this order: changing the group drops file capabilities.
    execute_process(COMMAND chgrp quarnel "${helper}" RESULT_VARIABLE chgrpResult)
    execute_process(COMMAND chmod 0750 "${helper}" RESULT_VARIABLE chmodResult)
    execute_process(COMMAND "${QUARNEL_SETCAP}" cap_net_admin,cap_bpf,cap_perfmon+ep "${helper}"
        RESULT_VARIABLE setcapResult)
    if(chgrpResult EQUAL 0 AND chmodResult EQUAL 0 AND setcapResult EQUAL 0)
        set(granted TRUE)
        message(STATUS
            "quarnel-helper: group quarnel, mode 0750, cap_net_admin,cap_bpf,cap_perfmon+ep")
    endif()
endif()

if(NOT granted)
    set(steps "")
    if(NOT noGroup EQUAL 0)
        string(APPEND steps "  groupadd --system quarnel\n")
    endif()
    string(APPEND steps "  chgrp quarnel ${helper} && chmod 0750 ${helper}\n")
    string(APPEND steps "  setcap cap_net_admin,cap_bpf,cap_perfmon+ep ${helper}\n")
    message(STATUS "quarnel-helper was installed without the right to close connections. "
        "To let the members of the group quarnel close connections with Quarnel, run as root:\n"
        "${steps}")
endif()
