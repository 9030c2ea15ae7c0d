#!/usr/bin/env bash
# Writes a package feed for the router distribution's build system from this
# checkout: the recipe of packaging/openwrt/ubus-tarnel/ with its files, and
# the release tarball it builds from (git archive of the last commit) with
# that tarball's hash. The build system takes the tarball from its dl/
# directory: given the build tree, the script puts it there; either way the
# recipe can fetch it from the feed's own dl/.
#   scripts/openwrt-feed.sh [-m 'NAME <EMAIL>'] [-u URL] FEED_DIR [BUILD_TREE]
#     -m  the package's maintainer (default: git's user.name and user.email,
#         else the last commit's author)
#     -u  the project's home page (default: the remote "origin")
# Ends with the lines to add to the build tree's feeds.conf.
set -euo pipefail

usage() {
    sed -n '8,12s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

maintainer= url=
while getopts m:u:h opt; do
    case $opt in
        m) maintainer=$OPTARG ;;
        u) url=$OPTARG ;;
        *) usage ;;
    esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] && [ $# -le 2 ] || usage
feed=$1
build_tree=${2:-}

src=$(cd "$(dirname "$0")/.." && pwd)
recipe_dir=$src/packaging/openwrt/ubus-tarnel
command -v git >/dev/null || { echo "openwrt-feed: git is needed" >&2; exit 1; }
git -C "$src" rev-parse --verify -q HEAD >/dev/null || { echo "openwrt-feed: $src has no commit" >&2; exit 1; }

if [ -z "$maintainer" ]; then
    name=$(git -C "$src" config user.name || true)
    email=$(git -C "$src" config user.email || true)
    if [ -n "$name" ] && [ -n "$email" ]; then
        maintainer="$name <$email>"
    else
        maintainer=$(git -C "$src" log -1 --format='%an <%ae>')
    fi
fi
if [ -z "$url" ]; then
    url=$(git -C "$src" remote get-url origin 2>/dev/null || true)
    case $url in
        http://* | https://*) ;;
        git@*:*) url=${url#git@}; url="https://${url%%:*}/${url#*:}" ;;
        ssh://git@*) url="https://${url#ssh://git@}" ;;
        *) url="file://$src" ;;
    esac
    url=${url%.git}
fi

version=$(sed -n 's/^PKG_VERSION:=//p' "$recipe_dir/Makefile")
tarball=ubus-tarnel-$version.tar.gz
if [ -n "$(git -C "$src" status --porcelain --untracked-files=no)" ]; then
    echo "openwrt-feed: uncommitted changes are not in the tarball (it holds the last commit)" >&2
fi

rm -rf "$feed/ubus-tarnel"
mkdir -p "$feed/ubus-tarnel/files" "$feed/dl"
feed=$(cd "$feed" && pwd)
# gzip -n: no name or time of its own, so the same commit gives the same hash.
git -C "$src" archive --format=tar --prefix="ubus-tarnel-$version/" HEAD | gzip -9n >"$feed/dl/$tarball"
hash=$(sha256sum "$feed/dl/$tarball" | cut -d' ' -f1)

# Literal replacement: a maintainer or URL may hold any character.
PKG_HASH=$hash PKG_SOURCE_URL="file://$feed/dl" PKG_MAINTAINER=$maintainer URL=$url awk '
    {
        for (n = split("PKG_HASH PKG_SOURCE_URL PKG_MAINTAINER URL", keys, " "); n > 0; n--) {
            mark = "@" keys[n] "@"
            while ((at = index($0, mark)) > 0)
                $0 = substr($0, 1, at - 1) ENVIRON[keys[n]] substr($0, at + length(mark))
        }
        print
    }' "$recipe_dir/Makefile" >"$feed/ubus-tarnel/Makefile"
if grep -n '@[A-Z_]*@' "$feed/ubus-tarnel/Makefile" >&2; then
    echo "openwrt-feed: the recipe still has blanks" >&2
    exit 1
fi
cp "$recipe_dir"/files/* "$feed/ubus-tarnel/files/"

if [ -n "$build_tree" ]; then
    mkdir -p "$build_tree/dl"
    cp "$feed/dl/$tarball" "$build_tree/dl/"
    echo "Put $tarball in $build_tree/dl/"
fi
cat <<MSG
Wrote the feed $feed (ubus-tarnel $version, sha256 $hash).
Add these two lines to feeds.conf in the build tree (the first keeps the
default feeds):
src-include defaults feeds.conf.default
src-link tarnel $feed
MSG
