#!/bin/sh
# Checks the distribution package against the tree: the service script
# parses and starts the binary where the build installs it, the recipe's
# version is the project's, every file the recipe installs exists, and the
# console page goes to /www/tarnel/ whole.
# The ACL file is checked against the daemon's method table by acl_test.
#   check_packaging.sh PACKAGE_DIR PROJECT_VERSION SBINDIR PAGE_DIR
set -eu
pkg=$1
version=$2
sbindir=$3
page=$4
init=$pkg/files/ubus-tarnel.init
recipe=$pkg/Makefile
binary=/usr/$sbindir/ubus-tarnel

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

sh -n "$init" || fail "service script does not parse"

# Run start_service with procd's helpers stubbed to record their calls.
calls=$(
    procd_open_instance() { echo "open"; }
    procd_close_instance() { echo "close"; }
    procd_set_param() { echo "param $*"; }
    # shellcheck disable=SC1090
    . "$init"
    [ "${USE_PROCD:-}" = 1 ] || echo "no-procd"
    case ${START:-} in '' | *[!0-9]*) echo "bad-start" ;; esac
    start_service
)
echo "$calls" | grep -qx 'no-procd' && fail "service script does not set USE_PROCD=1"
echo "$calls" | grep -qx 'bad-start' && fail "service script has no numeric START"
[ "$(echo "$calls" | head -n1)" = open ] || fail "start_service does not open an instance first"
[ "$(echo "$calls" | tail -n1)" = close ] || fail "start_service does not close its instance"
echo "$calls" | grep -qx "param command $binary" || fail "service command is not $binary"
echo "$calls" | grep -q '^param respawn' || fail "service is not respawned"
echo "$calls" | grep -qx 'param stdout 1' || fail "standard output not logged"
echo "$calls" | grep -qx 'param stderr 1' || fail "standard error not logged"

grep -qx "PKG_VERSION:=$version" "$recipe" || fail "recipe version is not $version"
grep -q "(PKG_INSTALL_DIR)$binary " "$recipe" || fail "recipe does not take the binary from $binary"
refs=$(grep -o '\./files/[A-Za-z0-9._-]*' "$recipe" | sort -u)
[ -n "$refs" ] || fail "recipe installs no files of its own"
for ref in $refs; do
    [ -f "$pkg/$ref" ] || fail "recipe installs $ref, which is missing"
done
for f in "$pkg"/files/*; do
    echo "$refs" | grep -qx "./files/${f##*/}" || fail "files/${f##*/} is never installed"
done
# The page: every file of it, from the source tree, into /www/tarnel/.
grep -q '$(INSTALL_DIR) $(1)/www/tarnel$' "$recipe" || fail "recipe does not make /www/tarnel"
page_refs=$(grep -o '(PKG_BUILD_DIR)/www/tarnel/[A-Za-z0-9._-]*' "$recipe" | sed 's|.*/||' | sort -u)
page_files=$(cd "$page" && find . -type f | sed 's|^\./||' | sort)
[ -n "$page_files" ] || fail "no page in $page"
[ "$page_refs" = "$page_files" ] || fail "recipe installs page files [$page_refs], the page has [$page_files]"
grep -q '$(1)/www/tarnel/$' "$recipe" || fail "page files do not go to /www/tarnel/"
echo "packaging ok"
