# Sourced by the scripts: makes sure the Debian packages a step needs are
# installed, installing them when run as root (a fresh machine or CI), or
# saying which command to run otherwise.
ensure_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    ((${#missing[@]} == 0)) && return 0
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        echo "Installing ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
    else
        echo "Missing packages: ${missing[*]}" >&2
        echo "Install them with: sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
}

BUILD_PACKAGES=(g++ make cmake pkg-config nlohmann-json3-dev libcpp-httplib-dev)
# The console page in a real browser: headless Chromium through Selenium.
BROWSER_PACKAGES=(chromium chromium-driver python3-selenium)
# python3 runs the browser test and the README's examples (tests/examples).
TEST_PACKAGES=("${BUILD_PACKAGES[@]}" libgtest-dev libgmock-dev python3 "${BROWSER_PACKAGES[@]}")
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# CPU per command, counted in instructions and system calls.
COST_PACKAGES=(valgrind strace)
FORMAT_PACKAGES=(clang-format git)
# Building for big-endian MIPS and running the result under emulation;
# GoogleTest is built for the target from its sources.
CROSS_PACKAGES=("${BUILD_PACKAGES[@]}" g++-mips-linux-gnu qemu-user googletest)
