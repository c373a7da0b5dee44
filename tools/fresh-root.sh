#!/usr/bin/env bash
# Runs a command of the README on a pristine Debian 12 (bookworm), as on a newcomer's fresh
# machine: a minimal root file system (apt, git, ca-certificates and sudo only), made for this
# run, with a clean clone of the repository's committed HEAD in /src, entered with chroot. What
# was installed on this machine by hand is not there, so a missing install step fails here.
#
#   tools/fresh-root.sh [--test | --run | --cmd COMMAND] [--keep] [REPO]
#     --test   (default) the README's test command (second line of its first code block)
#     --run    the README's first command, on a virtual X screen; passes once a window shows
#     --cmd    any command, run at the top of the clone
#     --keep   keep the root file system afterwards (its folder is printed)
#   REPO defaults to the repository around this script. Needs root (uses sudo otherwise).
#
# Only the bare base root is cached (a tar in /var/cache/talvenor-fresh-root, remade after a
# week), and the downloaded .deb files, so that CI does not fetch them again; no package of
# ours is ever installed in the cached root. Exit status: the command's.
set -euo pipefail

mode=test cmd="" keep=0 repo=""
while [ $# -gt 0 ]; do
    case "$1" in
    --test) mode=test ;;
    --run) mode=run ;;
    --cmd)
        [ $# -ge 2 ] || { echo "fresh-root: --cmd needs a command" >&2; exit 2; }
        mode=cmd cmd=$2
        shift
        ;;
    --keep) keep=1 ;;
    -h | --help) sed -n 2,16p "$0"; exit 0 ;;
    -*) echo "fresh-root: unknown option $1" >&2; exit 2 ;;
    *) repo=$1 ;;
    esac
    shift
done

if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=CI "$0" "$@"
fi

repo=$(git -C "${repo:-$(dirname "$0")}" rev-parse --show-toplevel)
commit=$(git -C "$repo" rev-parse HEAD)
if [ -n "$(git -C "$repo" status --porcelain --untracked-files=no)" ]; then
    echo "fresh-root: note: uncommitted changes in $repo are not part of this run" >&2
fi

export DEBIAN_FRONTEND=noninteractive
if ! command -v mmdebstrap >/dev/null; then
    echo "fresh-root: installing mmdebstrap" >&2
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends mmdebstrap >/dev/null
fi

cache=/var/cache/talvenor-fresh-root
base=$cache/bookworm-apt.tar
debs=$cache/archives
mkdir -p "$cache" "$debs/partial"
if [ ! -s "$base" ] || [ -n "$(find "$base" -mtime +7)" ]; then
    echo "fresh-root: making the bare Debian 12 root (about a minute)" >&2
    # The machine's own Debian sources when it has them (same mirror, with the updates).
    sources=()
    for f in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list; do
        if [ -s "$f" ] && grep -q bookworm "$f"; then
            sources=("$f")
            break
        fi
    done
    rm -f "$base.part"
    mmdebstrap --quiet --variant=apt --format=tar --include=git,ca-certificates,sudo \
        bookworm "$base.part" "${sources[@]}"
    mv "$base.part" "$base"
fi

root=$(mktemp -d "${TMPDIR:-/var/tmp}/fresh-root.XXXXXX")
mounts=()
cleanup() {
    local rc=$? p m
    trap - EXIT INT TERM HUP
    # What the command left running inside (a display server, a stuck test) holds the mounts.
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -KILL "${p#/proc/}" 2>/dev/null
    done
    for ((m = ${#mounts[@]} - 1; m >= 0; m--)); do
        umount -R "${mounts[m]}" 2>/dev/null || umount -R -l "${mounts[m]}" 2>/dev/null || true
    done
    if grep -q " $root/" /proc/self/mounts; then
        echo "fresh-root: $root still has mounts; left in place" >&2
    elif [ $keep = 1 ]; then
        echo "fresh-root: kept $root" >&2
    else
        rm -rf --one-file-system "$root"
    fi
    exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

bind() { # bind SOURCE TARGET-INSIDE
    mkdir -p "$root$2"
    mount --rbind "$1" "$root$2"
    mount --make-rslave "$root$2"
    mounts+=("$root$2")
}

tar -xf "$base" -C "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
git clone -q --no-checkout "$repo" "$root/src"
git -C "$root/src" checkout -q --detach "$commit"
# Developers and CI have the shared folder beside the repository.
[ -d "$repo/../shared" ] && cp -a "$repo/../shared" "$root/shared"

if [ $mode != cmd ]; then
    line=$([ $mode = test ] && echo 2 || echo 1)
    cmd=$(awk '/^```/ { n++; next } n == 1' "$root/src/README.md" | grep -v -e '^\s*#' -e '^\s*$' |
        sed -n "${line}p")
    [ -n "$cmd" ] || { echo "fresh-root: the README's first code block has no line $line" >&2; exit 2; }
fi
if [ $mode = run ]; then
    # The display and the window check come from Debian packages of their own, installed
    # before the command, so that they prove nothing about the command's own install step.
    cmd="apt-get update -qq && apt-get install -y -qq --no-install-recommends xvfb x11-utils >/dev/null || exit 3
Xvfb :71 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
export DISPLAY=:71
( $cmd ) &
pid=\$!
while kill -0 \$pid 2>/dev/null; do
    w=\$(xwininfo -root -tree 2>/dev/null | grep -E '^ +0x[0-9a-f]+ \"[^\"]+\".* [1-9][0-9]{2,}x[1-9][0-9]{2,}\\+' | head -1)
    [ -n \"\$w\" ] && { echo \"fresh-root: a window appeared:\$w\"; exit 0; }
    sleep 2
done
wait \$pid; echo \"fresh-root: the command ended (status \$?) without showing a window\"; exit 1"
fi

mount -t proc proc "$root/proc" && mounts+=("$root/proc")
bind /sys /sys
bind /dev /dev
bind "$debs" /var/cache/apt/archives

echo "fresh-root: commit $(git -C "$repo" log -1 --format='%h %s' "$commit")" >&2
echo "fresh-root: running in a fresh Debian 12: ${cmd%%$'\n'*}" >&2
start=$(date +%s)
# In the background, so that a signal to this script is handled at once (bash runs a trap only
# once its foreground command has ended) and the cleanup ends what runs inside.
chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb CI="${CI:-}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c "cd /src && $cmd" </dev/null &
set +e
wait $!
rc=$?
set -e
echo "fresh-root: exit status $rc after $(( ($(date +%s) - start) / 60 )) min $(( ($(date +%s) - start) % 60 )) s" >&2
exit $rc
