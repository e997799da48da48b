# Sourced by the run and test commands: the Debian packages they need, and how they get them.

# What building the program needs.
BUILD_PACKAGES=(cmake make g++ pkg-config libmnl-dev qt6-base-dev fonts-liberation fonts-dejavu-core
    clang llvm libbpf-dev bpftool libsystemd-dev libnftnl-dev)
# What running the program needs on top: Qt's X11 platform plugin, and setcap for the
# install step that grants the helper its capabilities.
RUN_PACKAGES=(qt6-qpa-plugins libcap2-bin)
# What building the Debian package needs on top (dpkg-buildpackage checks build-essential).
PACKAGE_PACKAGES=(build-essential debhelper dpkg-dev)
# What the tests need on top: systemd-analyze checks the service's unit; the package's checks
# read it with lintian and shellcheck, and boot it in a Debian tree (debootstrap) under its own
# systemd (systemd-nspawn); nc is the short client of the payload filters' tests; the fuzz
# targets link clang's libFuzzer. dbus-daemon gives the service's interface a private bus; nft
# publishes a port to another namespace; podman runs the guard's image as a DaemonSet would, beside
# a container of busybox.
TEST_PACKAGES=(libgtest-dev clang-format systemd dbus-daemon lintian shellcheck systemd-container debootstrap
    netcat-openbsd python3 libclang-rt-14-dev nftables podman busybox-static)
# What the Windows tree needs on top: the mingw-w64 cross compiler (its posix flavour, for
# std::thread), Wine to run the tests, NSIS for the installer, and for the window's tests an X
# server without a screen, a notification area (trayer), a hand on the mouse and keys (xdotool)
# and screenshots (imagemagick's import); iproute2 raises the loopback of the tests' namespace.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64 nsis xvfb trayer xdotool imagemagick
    x11-utils iproute2)

# What building the benchmarks needs on top (the test command builds them in its Release tree).
BENCH_PACKAGES=(libbenchmark-dev)

# Installs the packages of the arguments that are missing: as root directly, else through sudo,
# else prints the exact apt-get line and stops.
need_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    local as=()
    if [[ $(id -u) -ne 0 ]]; then
        if command -v sudo >/dev/null 2>&1; then
            as=(sudo)
        else
            echo "Missing Debian packages. Install them as root, then run this again:" >&2
            echo "  apt-get install -y --no-install-recommends ${missing[*]}" >&2
            exit 1
        fi
    fi
    echo "Installing missing Debian packages: ${missing[*]}" >&2
    "${as[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${as[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}
