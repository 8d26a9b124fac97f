#!/usr/bin/env bash
# Unpacks the Debian package into a scratch root and checks that everything a user installs
# lands where systemd, systemd-tmpfiles and the documentation expect it; then runs lintian, which
# must report no error or warning that the package does not override with a written reason.
# Usage: check_package.sh PATH/TO/varn-helper_*.deb
set -euo pipefail

deb=${1:?usage: check_package.sh PACKAGE.deb}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$root/DEBIAN"

failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
has_line() { grep -qxF -- "$2" "$1"; }

unit=$root/usr/lib/systemd/user/varn-helper.service
for program in usr/libexec/VarnHelper usr/bin/varnctl; do  # the helper, and varnctl in the PATH
  check "$program installed" test -x "$root/$program"
  check "$program is stripped" sh -c "! readelf -S '$root/$program' | grep -q '\\.symtab'"
done
check "user unit installed" test -f "$unit"
for line in ExecStart=/usr/libexec/VarnHelper Restart=on-failure WantedBy=default.target Type=notify; do
  check "unit has $line" has_line "$unit" "$line"
done
check "unit has a watchdog" grep -q '^WatchdogSec=' "$unit"
check "tmpfiles rule creates /Users/Shared 1777" \
  has_line "$root/usr/lib/tmpfiles.d/varn-helper.conf" "d /Users/Shared 1777 root root -"
for doc in README.md protocol.md com.varn.macos.service.example; do
  check "$doc installed" test -f "$root/usr/share/doc/varn-helper/$doc"
done
check "no D-Bus service installed for a real app" test ! -e "$root/usr/share/dbus-1"
check "nothing outside /usr" sh -c "[ \"\$(ls '$root' | grep -v DEBIAN)\" = usr ]"
check "postinst applies the tmpfiles rule" grep -q 'systemd-tmpfiles --create varn-helper.conf' "$root/DEBIAN/postinst"
check "depends on the shared libraries it links" grep -q '^Depends:.*libsystemd0' "$root/DEBIAN/control"
check "depends on the JSON reader's library" grep -q '^Depends:.*libsimdjson' "$root/DEBIAN/control"

doc=$root/usr/share/doc/varn-helper
version=$(sed -n 's/^Version: //p' "$root/DEBIAN/control")
check "copyright file in the machine-readable format" \
  grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$doc/copyright"
check "copyright file carries the MIT (Expat) licence" grep -qx 'License: Expat' "$doc/copyright"
check "changelog's latest entry is this version" \
  sh -c "gzip -dc '$doc/changelog.gz' | head -n 1 | grep -qF 'varn-helper ($version) '"
check "manual page installed" sh -c "gzip -dc '$root/usr/share/man/man8/VarnHelper.8.gz' | grep -q '^\.TH VARNHELPER 8 '"
check "varnctl's manual page installed" sh -c "gzip -dc '$root/usr/share/man/man1/varnctl.1.gz' | grep -q '^\.TH VARNCTL 1 '"

# An override is acceptable only with its reason: the line above it must be a comment.
overrides=$root/usr/share/lintian/overrides/varn-helper
unexplained_overrides() {
  [ ! -e "$overrides" ] ||
    awk '!/^#/ && NF && prev !~ /^#/ { bad = 1; print "override without a reason: " $0 }
         { prev = $0 } END { exit bad }' "$overrides"
}
check "every lintian override gives its reason" unexplained_overrides
# Exit status 2 on any error or warning left after the overrides; overridden tags are listed.
check "lintian reports no error or warning" \
  lintian --fail-on error,warning --show-overrides --tag-display-limit 0 "$deb"

check "unit asks for no namespace a per-user manager cannot make on every host" \
  sh -c "! grep -qE '^(PrivateUsers|PrivateTmp|PrivateDevices|ProtectSystem|ProtectHome|ProtectKernel[A-Za-z]*|ProtectControlGroups|ProtectClock|ProtectHostname)=' '$unit'"
# systemd's own reading of the unit: each group of calls and each setting it must deny. The
# exposure is printed for the record only: the scorer rates a user unit as if it ran as root, so
# much of what it counts is what a per-user manager cannot apply.
security=$(XDG_RUNTIME_DIR=$root systemd-analyze security --offline=true --user --json=short "$unit")
for denied in SystemCallFilter_{privileged,resources,clock,cpu_emulation,debug,module,mount,obsolete,raw_io,reboot,swap} \
  RestrictAddressFamilies_{AF_INET_INET6,AF_PACKET,AF_NETLINK,OTHER} RestrictNamespaces_{user,mnt,net} \
  NoNewPrivileges MemoryDenyWriteExecute LockPersonality RestrictSUIDSGID RestrictRealtime; do
  check "unit denies $denied" /usr/bin/python3 -c \
    'import json, sys; sys.exit(not any(e["json_field"] == sys.argv[1] and e["set"] for e in json.loads(sys.argv[2])))' \
    "$denied" "$security"
done
echo "exposure of the installed unit: $(XDG_RUNTIME_DIR=$root systemd-analyze security --offline=true --user "$unit" |
  sed -n 's/^.*Overall exposure level for [^:]*: //p')"

echo "$failures failed"
[ "$failures" -eq 0 ]
