#!/bin/sh
# Checks the distribution package against the tree: the service script
# parses, starts the binary where the build installs it and the helper that
# applies the configuration again when the daemon returns, and reloads by
# applying it; the recipe fetches from git, its license fields match
# LICENSE, and it builds two packages, the daemon with its own files (its
# configuration kept across upgrades) and the console page whole. The feed
# script, on a clone, gives each commit its own version and takes the
# source's hash from a build tree.
# The ACL file is checked against the daemon's method table by acl_test.
#   check_packaging.sh SOURCE_DIR PROJECT_VERSION SBINDIR
set -eu
src=$1
version=$2
sbindir=$3
pkg=$src/packaging/openwrt/ubus-tarnel
init=$pkg/files/ubus-tarnel.init
reapply=$pkg/files/tarnel-reapply
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
sh -n "$reapply" || fail "the reapply helper does not parse"

# Run the service's functions with procd's helpers, ubus and the client
# stubbed to record their calls.
calls=$(
    procd_open_instance() { echo "open${1:+ $1}"; }
    procd_close_instance() { echo "close"; }
    procd_set_param() { echo "param $*"; }
    procd_add_reload_trigger() { echo "trigger $*"; }
    ubus() { echo "ubus $*"; }
    tarnel() { echo "tarnel $*"; }
    # shellcheck disable=SC1090
    . "$init"
    [ "${USE_PROCD:-}" = 1 ] || echo "no-procd"
    case ${START:-} in '' | *[!0-9]*) echo "bad-start" ;; esac
    start_service
    echo "-- triggers"
    service_triggers
    echo "-- reload"
    reload_service
    echo "-- started"
    service_started
    wait
    echo "-- end"
)
start_calls=$(echo "$calls" | sed '/^-- triggers$/,$d')
# section NAME: what a function printed after "-- NAME".
section() { echo "$calls" | awk -v mark="-- $1" '/^-- / { inside = ($0 == mark); next } inside'; }
# instance N: the parameters of the Nth instance start_service opened.
instance() { echo "$start_calls" | awk -v n="$1" '/^open/ { i++ } i == n && /^param/'; }
echo "$calls" | grep -qx 'no-procd' && fail "service script does not set USE_PROCD=1"
echo "$calls" | grep -qx 'bad-start' && fail "service script has no numeric START"
[ "$(echo "$start_calls" | head -n1)" = open ] || fail "start_service does not open an instance first"
[ "$(echo "$start_calls" | tail -n1)" = close ] || fail "start_service does not close its instance"
instance 1 | grep -qx "param command $binary" || fail "service command is not $binary"
instance 1 | grep -q '^param respawn' || fail "service is not respawned"
instance 1 | grep -qx 'param stdout 1' || fail "standard output not logged"
instance 1 | grep -qx 'param stderr 1' || fail "standard error not logged"
[ "$(echo "$start_calls" | grep -c '^open')" = 2 ] || fail "start_service does not start two instances"
echo "$start_calls" | grep -qx 'open reapply' || fail "the second instance is not named reapply"
instance 2 | grep -qx 'param command /usr/libexec/tarnel-reapply' || fail "the second instance does not run the reapply helper"
instance 2 | grep -q '^param respawn' || fail "the reapply helper is not respawned"
[ "$(section triggers)" = "trigger tarnel" ] || fail "service_triggers does not reload on changes to /etc/config/tarnel"
[ "$(section reload)" = "tarnel apply" ] || fail "reload_service does not run tarnel apply (and only that)"
[ "$(section started)" = "$(printf 'ubus -t 15 wait_for tarnel\ntarnel apply')" ] ||
    fail "service_started does not wait for the object and then apply"

# The helper, against a bus whose object is missing, appears, goes (the
# daemon respawned) and returns: it applies on each return, never on the
# first appearance (service_started does that) nor while the object stays.
# Each ubus call takes the next answer; with none left it ends the helper.
mkdir "$tmp/bin"
log=$tmp/reapply.log
answers=$tmp/answers
for f in sleep rm tarnel; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$f" "$log" >"$tmp/bin/$f"
done
printf '%s\n' '#!/bin/sh' \
    "answer=\$(head -n1 '$answers'); sed -i 1d '$answers'" \
    "[ -n \"\$answer\" ] || { echo '(no answers left)' >>'$log'; kill \$PPID; exit 1; }" \
    "echo \"ubus \$* -> \$answer\" >>'$log'" \
    '[ "$answer" = yes ]' >"$tmp/bin/ubus"
chmod +x "$tmp/bin/sleep" "$tmp/bin/rm" "$tmp/bin/tarnel" "$tmp/bin/ubus"
printf '%s\n' no yes yes no yes no no yes >"$answers"
: >"$log"
PATH=$tmp/bin:$PATH timeout 20 sh "$reapply" 2>/dev/null && fail "the reapply helper ended on its own"
printf '%s\n' 'ubus -t 30 wait_for tarnel -> no' 'sleep 1' 'ubus -t 30 wait_for tarnel -> yes' \
    'ubus list tarnel -> yes' 'sleep 1' 'ubus list tarnel -> no' \
    'ubus -t 30 wait_for tarnel -> yes' 'rm -f /var/run/tarnel/applied' 'tarnel apply' \
    'ubus list tarnel -> no' 'ubus -t 30 wait_for tarnel -> no' 'sleep 1' \
    'ubus -t 30 wait_for tarnel -> yes' 'rm -f /var/run/tarnel/applied' 'tarnel apply' \
    '(no answers left)' >"$tmp/reapply.expected"
diff -u "$tmp/reapply.expected" "$log" >&2 || fail "the reapply helper does not apply exactly on each return"

# The variables, as the distribution's recipes set them. What cmake.mk sets
# already, and home-made source handling, have no place here. The source is
# a commit of the public repository, and the build system names its archive.
grep -qx 'PKG_VERSION:=@PKG_VERSION@' "$recipe" || fail "recipe's version is not left to the feed script"
grep -qx 'PKG_RELEASE:=[0-9][0-9]*' "$recipe" || fail "recipe has no numeric PKG_RELEASE"
grep -qx 'PKG_SOURCE_PROTO:=git' "$recipe" || fail "recipe does not fetch its source with git"
grep -nE '^PKG_(SOURCE|HASH):=|file://' "$recipe" >&2 && fail "recipe still names a tarball of its own"
grep -qx 'CMAKE_BINARY_SUBDIR:=openwrt-build' "$recipe" || fail "recipe builds inside the source"
[ "$(grep -n '^CMAKE_BINARY_SUBDIR:=' "$recipe" | cut -d: -f1)" -lt \
    "$(grep -n '^include $(INCLUDE_DIR)/cmake.mk' "$recipe" | cut -d: -f1)" ] ||
    fail "CMAKE_BINARY_SUBDIR is set after cmake.mk reads it"
grep -qx 'PKG_LICENSE:=ISC' "$recipe" || fail "recipe's license is not ISC"
grep -qx 'PKG_LICENSE_FILES:=LICENSE' "$recipe" || fail "recipe does not name LICENSE"
grep -q '^PKG_MAINTAINER:=' "$recipe" || fail "recipe has no maintainer"
grep -qx '  URL:=.*' "$recipe" || fail "recipe's packages have no URL"
grep -qx 'include $(INCLUDE_DIR)/cmake.mk' "$recipe" || fail "recipe does not build with cmake.mk"
if grep -nE '^(PKG_INSTALL|PKG_BUILD_PARALLEL)|TARNEL_SOURCE_DIR|Build/Prepare' "$recipe" >&2; then
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
echo "$daemon_install" | grep -q '(PKG_INSTALL_DIR)/usr/bin/tarnel ' ||
    fail "the daemon's package does not install the client /usr/bin/tarnel that its service script runs"
echo "$daemon_install" | grep -q 'www' && fail "the daemon's package installs the page"
refs=$(echo "$daemon_install" | grep -o '\./files/[A-Za-z0-9._-]*' | sort -u)
[ -n "$refs" ] || fail "recipe installs no files of its own"
for ref in $refs; do
    [ -f "$pkg/$ref" ] || fail "recipe installs $ref, which is missing"
done
for f in "$pkg"/files/*; do
    echo "$refs" | grep -qx "./files/${f##*/}" || fail "files/${f##*/} is never installed"
done
echo "$daemon_install" | grep -qx '	$(INSTALL_CONF) ./files/tarnel.config $(1)/etc/config/tarnel' ||
    fail "the daemon's package does not install its configuration as /etc/config/tarnel"
echo "$daemon_install" | grep -qx '	$(INSTALL_BIN) ./files/tarnel-reapply $(1)/usr/libexec/tarnel-reapply' ||
    fail "the daemon's package does not install the reapply helper where the service script runs it"
[ "$(define_body Package/ubus-tarnel/conffiles "$recipe")" = /etc/config/tarnel ] ||
    fail "/etc/config/tarnel is not the package's conffile (an upgrade would replace the router's settings)"
# The page as a whole, whatever files it has.
[ -f "$src/www/tarnel/index.html" ] || fail "no page in $src/www/tarnel"
[ "$(define_body Package/ubus-tarnel-www/install "$recipe")" = "$(printf '\t%s\n\t%s' \
    '$(INSTALL_DIR) $(1)/www/tarnel' '$(CP) $(PKG_BUILD_DIR)/www/tarnel/* $(1)/www/tarnel/')" ] ||
    fail "ubus-tarnel-www does not install www/tarnel/ whole into /www/tarnel/"
define_body Package/ubus-tarnel/postinst "$recipe" | sed 's/\$\$/$/g' >"$tmp/postinst"
sh -n "$tmp/postinst" || fail "the daemon's postinst does not parse"

# The feed, from a checkout only (a tarball of the tree has no history). It
# runs on a clone whose last commit holds this tree's recipe and script, and
# whose origin is a made-up public repository.
if ! command -v git >/dev/null || ! git -C "$src" rev-parse --verify -q HEAD >/dev/null 2>&1; then
    echo "packaging ok (feed not checked: $src is no git checkout)"
    exit 0
fi
clone=$tmp/clone
git clone -q --no-checkout "$src" "$clone" >&2 || fail "cannot clone $src"
git -C "$clone" checkout -q --detach "$(git -C "$src" rev-parse HEAD)"
rm -rf "$clone/packaging"
cp -R "$src/packaging" "$clone/packaging"
cp "$src/scripts/openwrt-feed.sh" "$clone/scripts/"
cp "$src/CMakeLists.txt" "$clone/"
git -C "$clone" config user.name 'A Packager'
git -C "$clone" config user.email packager@localhost
# Late on the 4th in the commit's zone; the script runs 14 hours ahead,
# where it is already the 5th.
commit_in_clone() {
    git -C "$clone" add -A
    GIT_COMMITTER_DATE='2026-03-04T23:30:00+0000' git -C "$clone" commit -q --allow-empty -m "$1"
}
commit_in_clone 'The tree under test'
git -C "$clone" remote set-url origin https://example.invalid/tarnel/ubus-tarnel.git

# run_feed NAME [OPTIONS...] [-- BUILD_TREE]: the clone's feed script, into $tmp/NAME.
run_feed() {
    name=$1
    shift
    opts=
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        opts="$opts $1"
        shift
    done
    [ $# -eq 0 ] || shift
    # shellcheck disable=SC2086
    TZ=XYZ-14 "$clone/scripts/openwrt-feed.sh" $opts "$tmp/$name" "$@" >"$tmp/$name.out" 2>"$tmp/$name.err"
}
# field NAME KEY: the value the recipe of feed NAME gives KEY.
field() { sed -n "s/^$2:=//p" "$tmp/$1/ubus-tarnel/Makefile"; }

run_feed one || { cat "$tmp/one.err" >&2; fail "feed script failed"; }
out=$tmp/one/ubus-tarnel
grep -n '@[A-Z_]*@' "$out/Makefile" >&2 && fail "the feed's recipe has blanks"
count=$(git -C "$clone" rev-list --count HEAD)
[ "$(field one PKG_VERSION)" = "$version.$count" ] || fail "the feed's version is not $version.$count"
[ "$(field one PKG_RELEASE)" = 1 ] || fail "the feed's release is not 1"
[ "$(field one PKG_SOURCE_PROTO)" = git ] || fail "the feed does not fetch with git"
[ "$(field one PKG_SOURCE_URL)" = https://example.invalid/tarnel/ubus-tarnel.git ] ||
    fail "the feed does not fetch from origin"
[ "$(field one PKG_SOURCE_VERSION)" = "$(git -C "$clone" rev-parse HEAD)" ] || fail "the feed does not fetch the last commit"
[ "$(field one PKG_SOURCE_DATE)" = 2026-03-04 ] || fail "the feed's source date is not the commit's"
[ "$(field one PKG_MIRROR_HASH)" = skip ] || fail "without a build tree the source hash is not skip"
grep -q 'PKG_MIRROR_HASH:=skip' "$tmp/one.err" || fail "the feed script does not say that the hash is skipped"
[ "$(field one PKG_MAINTAINER)" = 'A Packager <packager@localhost>' ] || fail "the feed's maintainer is not git's user"
grep -qx '  URL:=https://example.invalid/tarnel/ubus-tarnel' "$out/Makefile" || fail "the feed's home page is not origin's"
for f in "$pkg"/files/*; do
    cmp -s "$f" "$out/files/${f##*/}" || fail "the feed's files/${f##*/} differs"
done
grep -qx "src-link tarnel $tmp/one" "$tmp/one.out" || fail "the feed script does not print its feeds.conf line"

# The next commit is a newer version, and fetches that commit.
commit_in_clone 'The next commit'
run_feed two || { cat "$tmp/two.err" >&2; fail "feed script failed on the next commit"; }
[ "$(field two PKG_VERSION)" = "$version.$((count + 1))" ] || fail "the next commit's version is not $version.$((count + 1))"
[ "$(field two PKG_SOURCE_VERSION)" = "$(git -C "$clone" rev-parse HEAD)" ] ||
    fail "the next feed does not fetch the next commit"

# An scp-like origin is fetched as it is, its home page over https; one
# that is no URL must be replaced with -u.
git -C "$clone" remote set-url origin git@example.invalid:tarnel/ubus-tarnel.git
run_feed scp || { cat "$tmp/scp.err" >&2; fail "feed script refused an scp-like origin"; }
[ "$(field scp PKG_SOURCE_URL)" = git@example.invalid:tarnel/ubus-tarnel.git ] ||
    fail "the scp-like origin is not fetched as it is"
grep -qx '  URL:=https://example.invalid/tarnel/ubus-tarnel' "$tmp/scp/ubus-tarnel/Makefile" ||
    fail "the scp-like origin's home page is not https://example.invalid/tarnel/ubus-tarnel"
git -C "$clone" remote set-url origin "$src"
run_feed local && fail "the feed script took a local path for the public repository"
grep -q -- '-u URL' "$tmp/local.err" || fail "the feed script does not ask for -u URL when origin is no URL"

# With a build tree: the feed goes into its feeds.conf (which keeps the
# default feeds), is installed there, and the tree's download and check
# write the source's hash into the feed's recipe. This tree stands in for one.
tree=$tmp/tree
hash=$(printf '%064d' 0 | tr 0 a)
mkdir -p "$tree/scripts"
printf '%s\n' '#!/bin/sh' 'echo "feeds $*" >>calls' \
    '[ "$1" != update ] || ln -s "$(sed -n "s/^src-link tarnel //p" feeds.conf)" tarnel-feed' >"$tree/scripts/feeds"
chmod +x "$tree/scripts/feeds"
printf '%s\n' 'package/ubus-tarnel/download:' '	echo download >>calls' \
    'package/ubus-tarnel/check:' '	echo "check FIXUP=$(FIXUP)" >>calls' \
    "	sed -i 's/^PKG_MIRROR_HASH:=skip\$\$/PKG_MIRROR_HASH:=$hash/' tarnel-feed/ubus-tarnel/Makefile" >"$tree/Makefile"
run_feed built -u https://example.invalid/other.git -- "$tree" || { cat "$tmp/built.err" >&2; fail "feed script failed with a build tree"; }
[ "$(field built PKG_SOURCE_URL)" = https://example.invalid/other.git ] || fail "-u is not the source URL"
printf '%s\n' 'src-include defaults feeds.conf.default' "src-link tarnel $tmp/built" | cmp -s - "$tree/feeds.conf" ||
    fail "the build tree's feeds.conf does not have the default feeds and this one"
printf '%s\n' 'feeds update tarnel' 'feeds install ubus-tarnel ubus-tarnel-www' download 'check FIXUP=1' |
    cmp -s - "$tree/calls" || fail "the build tree was not asked to install, download and check in turn"
[ "$(field built PKG_MIRROR_HASH)" = "$hash" ] || fail "the build tree's hash is not in the feed's recipe"
grep -q "$hash" "$tmp/built.out" || fail "the feed script does not report the source hash"
echo "packaging ok"
