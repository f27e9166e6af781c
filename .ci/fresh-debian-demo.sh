#!/usr/bin/env bash
# Runs the README's first command, `bash scripts/demo.sh`, in a pristine
# minimal Debian 12 root, as a new user would on a freshly installed machine,
# and fails if it fails. The root is made with debootstrap from the mirror
# this machine's own apt sources name, the project is cloned into it at the
# committed HEAD (uncommitted changes are not part of it), and the command
# runs there under chroot. Everything is removed again on every way out.
#
# Usage: .ci/fresh-debian-demo.sh   (as root; needs debootstrap and git, and
#        about 1 GB free under ${TMPDIR:-/var/tmp})
set -euo pipefail

project=$(cd "$(dirname "$0")/.." && pwd)
release=bookworm

if [ "$(id -u)" -ne 0 ]; then
    echo "Run as root: debootstrap, mount and chroot need it." >&2
    exit 1
fi
if ! command -v debootstrap >/dev/null; then
    echo "debootstrap is missing; as root, run: apt-get install --no-install-recommends debootstrap" >&2
    exit 1
fi

# "URI SUITE" for every enabled binary source, from both the one-line and the
# deb822 forms. apt reads only *.list and *.sources, so other names (such as
# foo.list.disabled) are disabled files and are not read either.
sources() {
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$file" | awk '$1 == "deb" && NF >= 3 { print $2, $3 }'
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk '
            function flush(  n, m, i, j, u, s) {
                if (uris != "" && (" " types " ") ~ / deb / && tolower(enabled) !~ /^ *no *$/) {
                    n = split(uris, u, " "); m = split(suites, s, " ")
                    for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) print u[i], s[j]
                }
                types = uris = suites = enabled = field = ""
            }
            /^#/ { next }
            /^[ \t]*$/ { flush(); next }
            /^[ \t]/ {  # a continuation line, such as an embedded key
                if (field == "types") types = types " " $0
                else if (field == "uris") uris = uris " " $0
                else if (field == "suites") suites = suites " " $0
                next
            }
            {
                colon = index($0, ":")
                field = tolower(substr($0, 1, colon - 1))
                value = substr($0, colon + 1)
                if (field == "types") types = value
                else if (field == "uris") uris = value
                else if (field == "suites") suites = value
                else if (field == "enabled") enabled = value
            }
            END { flush() }
        ' "$file"
    done
}

# The mirror of the release itself: security and update suites live elsewhere
# or carry only part of the release. The release's own name is preferred over
# another release suite (such as "stable") on another source.
mirror() {
    sources | awk '
        $1 !~ /^(https?|ftp|file):/ { next }
        $2 ~ /[-\/](security|updates|proposed-updates|backports)$/ { next }
        $2 == release { print $1; found = 1; exit }
        first == "" { first = $1 }
        END { if (!found && first != "") print first }
    ' release="$release" | sed 's:/*$::'
}

url=$(mirror)
if [ -z "$url" ]; then
    echo "No Debian mirror found among the apt sources under /etc/apt/." >&2
    exit 1
fi
revision=$(git -C "$project" rev-parse HEAD)
echo "== Debian $release from $url, project at $revision"

root=$(mktemp -d "${TMPDIR:-/var/tmp}/lanemark-fresh-debian.XXXXXX")
# A machine's / is open to all: apt downloads as its own unprivileged user.
chmod 755 "$root"
child=
# Every mount under the root, deepest first: ours, and any that debootstrap left when stopped.
mounts() {
    awk -v root="$root" 'index($2, root "/") == 1 { print $2 }' /proc/self/mounts | sort -r
}
cleanup() {
    local status=$? point
    trap - EXIT INT TERM HUP
    if [ -n "$child" ] && kill -0 -- "-$child" 2>/dev/null; then
        kill -TERM -- "-$child" 2>/dev/null || true
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            kill -0 -- "-$child" 2>/dev/null || break
            sleep 1
        done
        kill -KILL -- "-$child" 2>/dev/null || true
        wait "$child" 2>/dev/null || true
    fi
    for point in $(mounts); do
        umount "$point" 2>/dev/null || umount --lazy "$point" || true
    done
    if [ -n "$(mounts)" ]; then
        echo "Still mounted, so $root is left in place:" $(mounts) >&2
    else
        # --one-file-system as well: even a mount missed above is never descended into.
        rm -rf --one-file-system "$root"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

started=$SECONDS
debootstrap --variant=minbase "$release" "$root" "$url"
echo "== Root made in $((SECONDS - started)) s"

cp /etc/resolv.conf "$root/etc/resolv.conf"
# No daemon that a package would start may outlive the run and keep the mounts busy.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
mount -t proc proc "$root/proc"
# With /dev/pts, as on a machine; slave, so that unmounting never reaches the host's /dev.
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"

git clone --quiet --no-checkout "$project" "$root/root/lanemark"
git -C "$root/root/lanemark" checkout --quiet --detach "$revision"

demo=$SECONDS
# A process group of its own, waited for in the background: a signal to this
# script then stops the whole run at once, and the cleanup finds the mounts free.
setsid chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c 'cd /root/lanemark && bash scripts/demo.sh' </dev/null &
child=$!
wait "$child"
echo "== bash scripts/demo.sh passed on a fresh Debian $release in $((SECONDS - demo)) s" \
    "($((SECONDS - started)) s with making the root)"
