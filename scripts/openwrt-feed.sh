#!/usr/bin/env bash
# Writes a package feed for the router distribution's build system from this
# checkout: the recipe of packaging/openwrt/ubus-tarnel/ with its files, set
# to fetch the last commit from the project's public repository. Each commit
# is its own version, 0.1.0.<commits so far>, so a router upgrades to it.
#   scripts/openwrt-feed.sh [-m 'NAME <EMAIL>'] [-u URL] FEED_DIR [BUILD_TREE]
#     -m  the package's maintainer (default: git's user.name and user.email,
#         else the last commit's author)
#     -u  the public repository the build fetches from (default: the remote
#         "origin", when that is a URL)
#   With BUILD_TREE (a build tree or SDK), the feed is added to its feeds.conf
#   and installed there, and the tree computes the source's hash into the
#   recipe; without one the recipe skips that check.
# Ends with the lines to add to the build tree's feeds.conf.
set -euo pipefail

usage() {
    sed -n '6,13s/^# \{0,1\}//p' "$0" >&2
    exit 2
}
die() {
    echo "openwrt-feed: $*" >&2
    exit 1
}

# A repository another machine can fetch from: http(s)://, git://, ssh://,
# or scp-like user@host:path.
is_public_url() {
    case $1 in
        http://?* | https://?* | git://?* | ssh://?*) return 0 ;;
        /* | ./* | ../* | *://*) return 1 ;;
        ?*@?*:?*) return 0 ;;
        *) return 1 ;;
    esac
}

# The home page a person can open, from the repository's URL.
home_page() {
    local u=$1 host path
    case $u in
        http://* | https://*) ;;
        git://* | ssh://*)
            u=${u#*://}
            host=${u%%/*} path=${u#*/}
            host=${host#*@} host=${host%%:*}
            u="https://$host/$path"
            ;;
        *) host=${u%%:*} path=${u#*:} u="https://${host#*@}/${path#/}" ;;
    esac
    echo "${u%.git}"
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
command -v git >/dev/null || die "git is needed"
git -C "$src" rev-parse --verify -q HEAD >/dev/null || die "$src has no commit"
# A shallow clone counts only the commits it has: the version would go back.
[ "$(git -C "$src" rev-parse --is-shallow-repository)" = false ] ||
    die "$src is a shallow clone; its commit count is not the version (git fetch --unshallow)"
[ -z "$build_tree" ] || [ -x "$build_tree/scripts/feeds" ] || die "$build_tree is no build tree (no scripts/feeds)"

if [ -z "$url" ]; then
    url=$(git -C "$src" remote get-url origin 2>/dev/null || true)
    is_public_url "$url" ||
        die "the remote origin (${url:-none}) is no public repository URL; give the one to fetch from with -u URL"
else
    is_public_url "$url" || die "-u $url is no repository URL (http(s)://, git://, ssh:// or user@host:path)"
fi
if [ -z "$maintainer" ]; then
    name=$(git -C "$src" config user.name || true)
    email=$(git -C "$src" config user.email || true)
    if [ -n "$name" ] && [ -n "$email" ]; then
        maintainer="$name <$email>"
    else
        maintainer=$(git -C "$src" log -1 --format='%an <%ae>')
    fi
fi

# Everything from the commit, not the working tree: that is what gets built.
commit=$(git -C "$src" rev-parse HEAD)
base=$(git -C "$src" show HEAD:CMakeLists.txt | sed -n 's/^project(ubus-tarnel VERSION \([0-9][0-9.]*\).*/\1/p')
[ -n "$base" ] || die "no project version in the last commit's CMakeLists.txt"
version=$base.$(git -C "$src" rev-list --count HEAD)
release=$(sed -n 's/^PKG_RELEASE:=//p' "$recipe_dir/Makefile")
# In the commit's own time zone, as git log shows it: the same on every machine.
date=$(git -C "$src" log -1 --format=%cd --date=format:%Y-%m-%d HEAD)
if [ -n "$(git -C "$src" status --porcelain --untracked-files=no)" ]; then
    echo "openwrt-feed: uncommitted changes are not built (the recipe fetches the last commit)" >&2
fi
if [ -z "$(git -C "$src" branch -r --contains HEAD 2>/dev/null)" ]; then
    echo "openwrt-feed: the last commit is on no remote branch: push it to $url before building" >&2
fi

rm -rf "$feed/ubus-tarnel"
mkdir -p "$feed/ubus-tarnel/files"
feed=$(cd "$feed" && pwd)
recipe=$feed/ubus-tarnel/Makefile
line="src-link tarnel $feed"

# Literal replacement: a maintainer or URL may hold any character.
PKG_VERSION=$version PKG_SOURCE_URL=$url PKG_SOURCE_DATE=$date PKG_SOURCE_VERSION=$commit \
    PKG_MIRROR_HASH=skip PKG_MAINTAINER=$maintainer URL=$(home_page "$url") awk '
    {
        n = split("PKG_VERSION PKG_SOURCE_URL PKG_SOURCE_DATE PKG_SOURCE_VERSION PKG_MIRROR_HASH PKG_MAINTAINER URL", keys, " ")
        for (; n > 0; n--) {
            mark = "@" keys[n] "@"
            while ((at = index($0, mark)) > 0)
                $0 = substr($0, 1, at - 1) ENVIRON[keys[n]] substr($0, at + length(mark))
        }
        print
    }' "$recipe_dir/Makefile" >"$recipe"
if grep -n '@[A-Z_]*@' "$recipe" >&2; then
    die "the recipe still has blanks"
fi
cp "$recipe_dir"/files/* "$feed/ubus-tarnel/files/"

hash=skip
if [ -n "$build_tree" ]; then
    conf=$build_tree/feeds.conf
    if [ ! -e "$conf" ]; then
        # The include keeps the tree's default feeds, which a feeds.conf of
        # its own would otherwise replace.
        printf 'src-include defaults feeds.conf.default\n%s\n' "$line" >"$conf"
        echo "Wrote $conf"
    elif ! grep -qx "$line" "$conf"; then
        if grep -nE '^src-[a-z]+ tarnel( |$)' "$conf" >&2; then
            die "$conf already has another feed named tarnel"
        fi
        echo "$line" >>"$conf"
        echo "Added the feed to $conf"
    fi
    (
        cd "$build_tree"
        ./scripts/feeds update tarnel
        ./scripts/feeds install ubus-tarnel ubus-tarnel-www
        # The tree fetches the commit, packs it its own way and writes that
        # archive's hash over "skip" in the feed's recipe.
        make package/ubus-tarnel/download
        make package/ubus-tarnel/check FIXUP=1
    ) || die "the build tree could not fetch and check the source"
    hash=$(sed -n 's/^PKG_MIRROR_HASH:=//p' "$recipe")
    [[ $hash =~ ^[0-9a-f]{64}$ ]] || die "the build tree wrote no source hash into $recipe (PKG_MIRROR_HASH:=$hash)"
else
    echo "openwrt-feed: no build tree given: PKG_MIRROR_HASH:=skip, the source is not checked" >&2
fi

cat <<MSG
Wrote the feed $feed (ubus-tarnel $version-$release, commit $commit, source hash $hash).
Add these two lines to feeds.conf in the build tree (the first keeps the
default feeds):
src-include defaults feeds.conf.default
$line
MSG
