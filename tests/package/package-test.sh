#!/bin/bash
# The Debian packages of a build tree, built into a temporary folder and checked: file lists with
# owners and modes, control data, the version of every program, lintian, the unit under
# systemd-analyze, the logrotate file under logrotate -d, and the server of the package unpacked
# into a temporary root, set up with its own setup command, started on a free port and pinged with
# its own client. A check whose tool is missing is skipped with a message; nothing is installed.
# Usage: package-test.sh BUILD_DIR
set -u

build=$(cd "$1" && pwd)
tmp=$(mktemp -d)
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
have() {
    command -v "$1" >/dev/null && return 0
    echo "SKIP: $1 is not installed (make test-package installs it)"
    return 1
}

if ! (cd "$build" && cpack -G DEB -B "$tmp/out") >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log" >&2
    exit 1
fi
version=$(sed -n 's/^#define HVPS_VERSION_TEXT "\(.*\)"$/\1/p' "$build/generated/hvps_version.h")
server_deb=$(echo "$tmp"/out/hvps-server_"$version"_*.deb)
manager_deb=$(echo "$tmp"/out/hvps-manager_"$version"_*.deb)
[ -f "$server_deb" ] || { fail "no hvps-server package of version $version in: $(ls "$tmp/out")"; exit 1; }
[ -f "$manager_deb" ] || manager_deb=

# Files (not folders) of a package: mode, owner, path.
files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort; }
expect_files() {
    local deb=$1
    shift
    diff <(printf '%s\n' "$@" | sort) <(files "$deb") >"$tmp/diff" || fail "$(basename "$deb") files:
$(cat "$tmp/diff")"
}
exe="-rwxr-xr-x root/root"
doc="-rw-r--r-- root/root"
expect_files "$server_deb" "$exe ./usr/bin/hvpsd" "$exe ./usr/bin/hvps-client" "$exe ./usr/bin/hvps-md5pwd" \
    "$exe ./usr/sbin/hvps-setup" "-rw-r----- root/root ./etc/hvps/hvps.config" "$doc ./etc/logrotate.d/hvps" \
    "$doc ./lib/systemd/system/hvpsd.service" "$doc ./usr/share/HalvoraPersonalServer/mime.types" \
    "$doc ./usr/share/man/man8/hvpsd.8.gz" "$doc ./usr/share/man/man8/hvps-setup.8.gz" \
    "$doc ./usr/share/man/man1/hvps-client.1.gz" "$doc ./usr/share/man/man1/hvps-md5pwd.1.gz" \
    "$doc ./usr/share/doc/hvps-server/copyright" "$doc ./usr/share/doc/hvps-server/changelog.gz"
dpkg-deb -f "$server_deb" Depends | grep -qi qt && fail "hvps-server depends on Qt: $(dpkg-deb -f "$server_deb" Depends)"
dpkg-deb --ctrl-tarfile "$server_deb" | tar -xO ./conffiles | grep -qx /etc/hvps/hvps.config ||
    fail "/etc/hvps/hvps.config is not a conffile"
if [ -n "$manager_deb" ]; then
    icons=./usr/share/icons/hicolor
    expect_files "$manager_deb" "$exe ./usr/bin/HalvoraPersonalServer" \
        "$doc ./usr/share/HalvoraPersonalServer/hvps.config" "$doc ./usr/share/HalvoraPersonalServer/data/space-db" \
        "$doc ./usr/share/HalvoraPersonalServer/data/disk-usage" \
        "$doc ./usr/share/applications/halvora-personal-server.desktop" \
        "$doc $icons/48x48/apps/halvora-personal-server.png" "$doc $icons/128x128/apps/halvora-personal-server.png" \
        "$doc ./usr/share/doc/hvps-manager/copyright" "$doc ./usr/share/doc/hvps-manager/changelog.gz"
    dpkg-deb -f "$manager_deb" Depends | grep -qF "hvps-server (= $version)" ||
        fail "hvps-manager does not depend on hvps-server $version: $(dpkg-deb -f "$manager_deb" Depends)"
else
    echo "SKIP: hvps-manager (the build has no manager)"
fi

if have lintian; then
    for deb in "$server_deb" $manager_deb; do
        lintian --no-tag-display-limit "$deb" >"$tmp/lintian" 2>&1
        grep '^E:' "$tmp/lintian" && fail "lintian reports errors on $(basename "$deb")"
    done
fi

root=$tmp/root
dpkg-deb -x "$server_deb" "$root"
unit=$root/lib/systemd/system/hvpsd.service
if have systemd-analyze; then
    # The unit as installed, but with the unpacked program, as the package is not installed here
    # (so are its man pages). verify also exits 0 after warnings: any output is a finding.
    sed "s|^ExecStart=/usr/bin/hvpsd|ExecStart=$root/usr/bin/hvpsd|" "$unit" >"$tmp/hvpsd.service"
    systemd-analyze verify --man=no "$tmp/hvpsd.service" >"$tmp/verify" 2>&1 && [ ! -s "$tmp/verify" ] ||
        fail "systemd-analyze verify: $(cat "$tmp/verify")"
fi
if have logrotate; then
    # Without the package's postinst there is no user hvps here: the check runs as this user.
    rotate=$tmp/hvps.logrotate
    if getent passwd hvps >/dev/null; then cp "$root/etc/logrotate.d/hvps" "$rotate"; else
        sed "s/^\(\s*su \).*/\1$(id -un) $(id -gn)/" "$root/etc/logrotate.d/hvps" >"$rotate"
    fi
    logrotate -d -s "$tmp/logrotate.state" "$rotate" >"$tmp/rotate" 2>&1 || fail "logrotate -d: $(cat "$tmp/rotate")"
    grep -i 'error' "$tmp/rotate" && fail "logrotate -d reports errors"
fi

# Every tool shows the release of its package (DaemonTest checks hvpsd -v).
for program in bin/hvps-client bin/hvps-md5pwd sbin/hvps-setup; do
    "$root/usr/$program" --version 2>&1 | grep -qxF "${program#*/} $version" || fail "$program --version is not $version"
done

# The three steps of a person with the packaged files: set the password, start, ping.
config=$root/etc/hvps/hvps.config
printf 'secret\n' | "$root/usr/sbin/hvps-setup" -c "$config" >"$tmp/setup" 2>&1 || fail "hvps-setup: $(cat "$tmp/setup")"
grep -q 'systemctl enable --now hvpsd' "$tmp/setup" || fail "hvps-setup does not print the next step"
[ "$(grep -ci '^server-password' "$config")" = 1 ] && grep -qx 'server-password=5EBE2294ECD0E0F08EAB7690D2A6EE69' "$config" ||
    fail "hvps-setup did not write the digest once: $(cat "$config")"
grep -qx "server-host=$(uname -n)" "$config" || fail "hvps-setup did not set server-host to $(uname -n)"
[ "$(stat -c %a "$config")" = 640 ] || fail "hvps-setup changed the mode of the configuration to $(stat -c %a "$config")"
mkdir -p "$root/var/lib/hvps" "$root/var/log/hvps" "$root/run/hvps"
: >"$root/var/lib/hvps/space-db"
sed -i "s|^repository-data=/var/lib/hvps\$|repository-data=$root/var/lib/hvps|" "$config"
allow_root=()
[ "$(id -u)" = 0 ] && allow_root=(-r)
started=
for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    sed -i "s/^server-port=.*/server-port=$port/" "$config"
    if "$root/usr/bin/hvpsd" "${allow_root[@]}" -c "$config" -l "$root/var/log/hvps/hvpsd.log" \
        -p "$root/run/hvps/hvpsd.pid" -m "$root/usr/share/HalvoraPersonalServer/mime.types" >"$tmp/start" 2>&1; then
        started=yes
        break
    fi
done
if [ -z "$started" ]; then
    fail "the packaged hvpsd did not start: $(cat "$tmp/start")"
else
    server_pid=$(cat "$root/run/hvps/hvpsd.pid")
    "$root/usr/bin/hvps-client" -H 127.0.0.1 -p "$port" ping >"$tmp/ping" 2>&1 || fail "ping: $(cat "$tmp/ping")"
fi

[ "$failures" = 0 ] && echo "Packages checked: $(basename "$server_deb") ${manager_deb:+$(basename "$manager_deb")}"
[ "$failures" = 0 ]
