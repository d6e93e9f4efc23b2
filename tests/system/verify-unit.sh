#!/bin/sh
# verify-unit.sh PROGRAM UNIT: checks the configured systemd unit with
# systemd-analyze (no running systemd needed). The unit names the installed
# program; the built PROGRAM is put in so the check finds an executable. Any
# complaint (systemd-analyze only warns about many bad settings) fails.
# Exit 77 (skipped) when systemd-analyze is not installed.
command -v systemd-analyze >/dev/null 2>&1 || {
  echo "systemd-analyze not installed (Debian package systemd): unit file not checked"
  exit 77
}
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
sed "s|^ExecStart=[^ ]*|ExecStart=$1|" "$2" >"$dir/orlocard.service" || exit 1
out=$(systemd-analyze verify --man=no "$dir/orlocard.service" 2>&1)
rc=$?
if [ -n "$out" ]; then
  echo "$out"
  exit 1
fi
exit $rc
