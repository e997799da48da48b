# The Windows build: cross-built with mingw-w64 (cmake/mingw-w64.cmake) and tested under Wine.
# Included by the top-level CMakeLists.txt before the folders.

# Tests run under Wine, in this build's own prefix, and only inside the private network
# namespace that scripts/wine-tests makes (the Windows table is the namespace's): see
# cmake/wine-run.in.
set(QUARNEL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
    WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
# Tests are listed when ctest runs (under Wine, in the namespace), not when they are built.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# Windows 10 and later: the calls used are all there since Vista, and nothing older is tested.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX)
# The program's resources: its icon, manifest and version record.
enable_language(RC)
# What quarnel_harden compiles in (the stack protector, FORTIFY's checks) needs mingw-w64's
# libssp at the link, statically as everything else. A Release program carries no symbols.
add_link_options(-fstack-protector-strong $<$<CONFIG:Release>:-s>)

# GoogleTest from Debian's sources (libgtest-dev), built for Windows with this compiler; its own
# warnings are not ours to treat as errors. It names its targets GTest::gtest and
# GTest::gtest_main itself, as the installed package does.
function(quarnel_googletest_for_windows)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(target gtest gtest_main)
        set_target_properties(${target} PROPERTIES COMPILE_OPTIONS "")
    endforeach()
endfunction()
