# Hardening for everything that runs with a capability (the helper, the service) and the code
# linked into it: stack protector, stack clash protection, FORTIFY, full RELRO and PIE (what
# Debian's own hardening gives its packages). -fcf-protection is left out: Debian 12's C start
# files carry no CET marking, so the linker would drop it from the program anyway.
function(quarnel_harden target)
    get_target_property(type ${target} TYPE)
    target_compile_options(${target} PRIVATE -fstack-protector-strong -fstack-clash-protection)
    # FORTIFY works only with optimisation: without it Debian 12's glibc silently ignores it and
    # other glibc builds warn (an error under -Werror), so the Debug build leaves those checks to
    # the sanitizers.
    target_compile_definitions(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    if(type STREQUAL "EXECUTABLE")
        target_link_options(${target} PRIVATE -pie -Wl,-z,relro,-z,now)
    endif()
endfunction()
