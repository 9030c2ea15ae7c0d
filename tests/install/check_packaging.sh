#!/bin/sh
# Checks the distribution package against the tree: the service script
# parses and starts the binary where the build installs it; the recipe's
# version is the project's, its license fields match LICENSE, and it builds
# two packages, the daemon with its own files and the console page whole;
# the feed the feed script writes carries the tarball its hash names.
# The ACL file is checked against the daemon's method table by acl_test.
#   check_packaging.sh SOURCE_DIR PROJECT_VERSION SBINDIR
set -eu
src=$1
version=$2
sbindir=$3
pkg=$src/packaging/openwrt/ubus-tarnel
init=$pkg/files/ubus-tarnel.init
recipe=$pkg/Makefile
binary=/usr/$sbindir/ubus-tarnel

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# define_body NAME FILE: the lines between "define NAME" and its "endef".
define_body() {
    awk -v name="$1" '$0 == "endef" { inside = 0 } inside { print } $0 == "define " name { inside = 1 }' "$2"
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

# The variables, as the distribution's recipes set them. What cmake.mk sets
# already, and home-made source handling, have no place here.
grep -qx "PKG_VERSION:=$version" "$recipe" || fail "recipe version is not $version"
grep -qx 'PKG_RELEASE:=[0-9][0-9]*' "$recipe" || fail "recipe has no numeric PKG_RELEASE"
grep -qx 'PKG_SOURCE:=$(PKG_NAME)-$(PKG_VERSION).tar.gz' "$recipe" || fail "recipe's PKG_SOURCE is not the release tarball"
grep -qx 'PKG_LICENSE:=ISC' "$recipe" || fail "recipe's license is not ISC"
grep -qx 'PKG_LICENSE_FILES:=LICENSE' "$recipe" || fail "recipe does not name LICENSE"
grep -q '^PKG_MAINTAINER:=' "$recipe" || fail "recipe has no maintainer"
grep -qx '  URL:=.*' "$recipe" || fail "recipe's packages have no URL"
grep -qx 'include $(INCLUDE_DIR)/cmake.mk' "$recipe" || fail "recipe does not build with cmake.mk"
if grep -nE '^(PKG_INSTALL|PKG_BUILD_PARALLEL|PKG_MIRROR_HASH)|TARNEL_SOURCE_DIR|Build/Prepare' "$recipe" >&2; then
    fail "recipe repeats cmake.mk or handles its sources itself"
fi
grep -q 'ISC' "$src/LICENSE" && grep -q 'Copyright (c) [0-9]* the ubus-tarnel authors' "$src/LICENSE" ||
    fail "LICENSE is not the ISC text naming the ubus-tarnel authors"

# Two packages: the daemon, and the page with what it needs to reach the bus.
[ "$(grep -c '^$(eval $(call BuildPackage,' "$recipe")" = 2 ] || fail "recipe does not build exactly two packages"
grep -qx '$(eval $(call BuildPackage,ubus-tarnel))' "$recipe" || fail "no package ubus-tarnel"
grep -qx '$(eval $(call BuildPackage,ubus-tarnel-www))' "$recipe" || fail "no package ubus-tarnel-www"
define_body Package/ubus-tarnel-www "$recipe" | grep -qx '  DEPENDS:=+ubus-tarnel +uhttpd +uhttpd-mod-ubus +rpcd' ||
    fail "ubus-tarnel-www does not depend on ubus-tarnel, uhttpd, uhttpd-mod-ubus and rpcd"

daemon_install=$(define_body Package/ubus-tarnel/install "$recipe")
echo "$daemon_install" | grep -q "(PKG_INSTALL_DIR)$binary " || fail "recipe does not take the binary from $binary"
echo "$daemon_install" | grep -q 'www' && fail "the daemon's package installs the page"
refs=$(echo "$daemon_install" | grep -o '\./files/[A-Za-z0-9._-]*' | sort -u)
[ -n "$refs" ] || fail "recipe installs no files of its own"
for ref in $refs; do
    [ -f "$pkg/$ref" ] || fail "recipe installs $ref, which is missing"
done
for f in "$pkg"/files/*; do
    echo "$refs" | grep -qx "./files/${f##*/}" || fail "files/${f##*/} is never installed"
done
# The page as a whole, whatever files it has.
[ -f "$src/www/tarnel/index.html" ] || fail "no page in $src/www/tarnel"
[ "$(define_body Package/ubus-tarnel-www/install "$recipe")" = "$(printf '\t%s\n\t%s' \
    '$(INSTALL_DIR) $(1)/www/tarnel' '$(CP) $(PKG_BUILD_DIR)/www/tarnel/* $(1)/www/tarnel/')" ] ||
    fail "ubus-tarnel-www does not install www/tarnel/ whole into /www/tarnel/"
define_body Package/ubus-tarnel/postinst "$recipe" | sed 's/\$\$/$/g' >"$tmp/postinst"
sh -n "$tmp/postinst" || fail "the daemon's postinst does not parse"

# The feed, from a checkout only (a tarball of the tree has no history).
if ! command -v git >/dev/null || ! git -C "$src" rev-parse --verify -q HEAD >/dev/null 2>&1; then
    echo "packaging ok (feed not checked: $src is no git checkout)"
    exit 0
fi
tarball=ubus-tarnel-$version.tar.gz
"$src/scripts/openwrt-feed.sh" -m 'A Packager <packager@localhost>' -u https://localhost/ubus-tarnel \
    "$tmp/feed" "$tmp/build" >"$tmp/feed.log" 2>&1 || { cat "$tmp/feed.log" >&2; fail "feed script failed"; }
out=$tmp/feed/ubus-tarnel
grep -n '@[A-Z_]*@' "$out/Makefile" >&2 && fail "the feed's recipe has blanks"
hash=$(sha256sum "$tmp/feed/dl/$tarball" | cut -d' ' -f1)
grep -qx "PKG_HASH:=$hash" "$out/Makefile" || fail "the feed's PKG_HASH is not the tarball's ($hash)"
cmp -s "$tmp/feed/dl/$tarball" "$tmp/build/dl/$tarball" || fail "the build tree's dl/ did not get the tarball"
grep -qx 'PKG_MAINTAINER:=A Packager <packager@localhost>' "$out/Makefile" || fail "the feed's maintainer is not the one given"
grep -qx '  URL:=https://localhost/ubus-tarnel' "$out/Makefile" || fail "the feed's URL is not the one given"
sh -n "$out/files/ubus-tarnel.init" || fail "the feed's service script does not parse"
cmp -s "$out/files/ubus-tarnel.acl.json" "$pkg/files/ubus-tarnel.acl.json" || fail "the feed's ACL differs"
tar -tzf "$tmp/feed/dl/$tarball" >"$tmp/contents" || fail "the tarball does not unpack"
for f in LICENSE CMakeLists.txt core/main.cpp www/tarnel/index.html; do
    grep -qx "ubus-tarnel-$version/$f" "$tmp/contents" || fail "the tarball has no ubus-tarnel-$version/$f"
done
grep -qx "src-link tarnel $tmp/feed" "$tmp/feed.log" || fail "the feed script does not print its feeds.conf line"
echo "packaging ok"
