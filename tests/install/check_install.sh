#!/bin/sh
# Stages `cmake --install` of a built tree the way a package build does
# (DESTDIR plus prefix /usr) and checks the exact list of installed files:
# the daemon and its client alone, the development tools only when asked
# for, never a test or a static library. Then runs the staged daemon and
# client once.
#   check_install.sh CMAKE BUILD_DIR DEVTOOLS_ON(0|1) SYSTEM_UBUS(0|1)
set -eu
cmake=$1
build=$2
devtools_on=$3
system_ubus=$4

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# stage NAME [cmake --install options...]
stage() {
    name=$1
    shift
    mkdir -p "$tmp/$name"
    DESTDIR=$tmp/$name "$cmake" --install "$build" --prefix /usr "$@" >"$tmp/$name.log" 2>&1 ||
        { cat "$tmp/$name.log" >&2; fail "$name: cmake --install failed"; }
}

# expect NAME FILE... : exactly these files (and links), each executable.
expect() {
    name=$1
    shift
    printf '%s\n' "$@" | LC_ALL=C sort >"$tmp/$name.expected"
    (cd "$tmp/$name" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort) >"$tmp/$name.actual"
    diff -u "$tmp/$name.expected" "$tmp/$name.actual" >&2 || fail "$name: installed files differ"
    for f in "$@"; do
        [ -x "$tmp/$name/$f" ] || fail "$name: $f is not executable"
    done
}

daemon=usr/sbin/ubus-tarnel
client=usr/bin/tarnel
devtools="usr/sbin/tarnel-busd usr/bin/tarnel-ubus usr/bin/tarnel-fakemodem"

stage plain
if [ "$devtools_on" = 1 ]; then
    # shellcheck disable=SC2086
    expect plain $daemon $client $devtools
else
    expect plain $daemon $client
fi

stage devtools --component devtools
# shellcheck disable=SC2086
expect devtools $devtools

# The staged binary must stand on its own outside the build tree. Our bus
# library honours UBUS_SOCKET, so point it at nothing: the daemon must say
# why and exit 1. The system library may reach a real broker instead.
if [ "$system_ubus" != 1 ]; then
    status=0
    UBUS_SOCKET=$tmp/no-broker.sock "$tmp/plain/$daemon" >"$tmp/out" 2>"$tmp/err" || status=$?
    [ "$status" = 1 ] || fail "staged daemon without a broker exited with $status, not 1"
    grep -qx 'Failed to connect to ubus' "$tmp/err" || { cat "$tmp/err" >&2; fail "staged daemon: no connection failure line"; }
fi
# The staged client likewise: no broker is a bus failure, status 3.
if [ "$system_ubus" != 1 ]; then
    status=0
    "$tmp/plain/$client" at -s "$tmp/no-broker.sock" AT >"$tmp/out" 2>"$tmp/err" || status=$?
    [ "$status" = 3 ] || fail "staged client without a broker exited with $status, not 3"
    grep -q 'Failed to connect to ubus' "$tmp/err" || { cat "$tmp/err" >&2; fail "staged client: no connection failure line"; }
fi
echo "install tree ok"
