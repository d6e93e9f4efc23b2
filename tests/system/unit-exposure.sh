#!/bin/sh
# unit-exposure.sh UNIT MAX: systemd-analyze security rates the sandbox of the
# configured unit file (offline: no running systemd needed); the overall
# exposure must be at most MAX tenths (20 is 2.0, well inside "OK"). The
# table is printed either way. Exit 77 (skipped) without systemd-analyze or
# without its --offline mode (systemd before 250).
command -v systemd-analyze >/dev/null 2>&1 || {
  echo "systemd-analyze not installed (Debian package systemd): exposure not rated"
  exit 77
}
systemd-analyze security --help 2>/dev/null | grep -q -- --offline || {
  echo "systemd-analyze has no --offline mode: exposure not rated"
  exit 77
}
systemd-analyze security --offline=true --threshold="$2" "$1"
