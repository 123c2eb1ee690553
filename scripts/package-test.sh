#!/usr/bin/env bash
# Tests the Debian package on this machine, as root:
#   1. builds the package (scripts/package.sh) in BUILD_DIR, checks it with
#      lintian and installs it with dpkg -i;
#   2. checks the layout (programs, links, conffile, manual pages), the
#      service template (installed, not enabled, passes systemd-analyze
#      verify for an instance) and the system user it runs as;
#   3. publishes a sample photo through /usr/bin/velmora to the test Prism
#      server, with the parameter file /etc/velmora/ParametriKelvora.ini
#      naming a configuration database made for the test;
#   4. dpkg -r must leave nothing of the package but the conffile, and
#      dpkg -P must remove that too.
# Whatever happens, the package, /etc/velmora, the server and the test's
# files are gone when the script ends. It refuses to run when velmora is
# installed already or /etc/velmora exists, so that it never touches a
# real installation.
#
#   scripts/package-test.sh [BUILD_DIR]
# BUILD_DIR: an existing build directory to reuse (only the installed
# programs and the demo tool are built in it); default build-package, made
# as scripts/package.sh makes it.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build-package}
ETC=/etc/velmora
INI=$ETC/ParametriKelvora.ini

fail() {
  echo "package test FAILED: $*" >&2
  exit 1
}

if [ "$(id -u)" != 0 ]; then
  # dpkg needs root; sudo only when it asks for no password.
  if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    exec sudo -n bash "$0" "$@"
  fi
  fail "dpkg -i needs root (run as root, or with a sudo that asks no password)"
fi
installed_status() { dpkg-query -W -f='${db:Status-Abbrev}' velmora 2>/dev/null || true; }
if [ -n "$(installed_status | tr -d ' ')" ] && [ "$(installed_status | cut -c2)" != n ]; then
  fail "velmora is installed on this machine; remove it first (dpkg -P velmora)"
fi
[ -e "$ETC" ] && fail "$ETC exists; this test installs and purges the package and would replace it"

WORK=$(mktemp -d /tmp/velmora-package-test.XXXXXX)
SERVER_PID=""
# The package keeps its system user after a purge, as Debian packages do;
# the test removes the one it made.
USER_BEFORE=$(getent passwd velmora || true)
cleanup() {
  local rc=$?
  set +e
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  if dpkg-query -W velmora >/dev/null 2>&1; then
    dpkg -P velmora >/dev/null 2>&1 </dev/null || echo "cleanup: dpkg -P velmora failed" >&2
  fi
  if [ -z "$USER_BEFORE" ] && getent passwd velmora >/dev/null; then
    deluser --quiet --system velmora >/dev/null 2>&1 || echo "cleanup: deluser velmora failed" >&2
    getent group velmora >/dev/null && delgroup --quiet --system velmora >/dev/null 2>&1
  fi
  rm -rf "$ETC" "$WORK"
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# 1. Build the package, and the tool that makes the test's databases.
bash "$ROOT/scripts/package.sh" "$BUILD" >"$WORK/package.log" 2>&1 || { tail -n 40 "$WORK/package.log"; fail "making the package"; }
DEB=$(tail -n 1 "$WORK/package.log")
BUILD=$(cd "$BUILD" && pwd)
ninja -C "$BUILD" velmora_demo_tool >"$WORK/build.log" 2>&1 || { tail -n 40 "$WORK/build.log"; fail "building velmora_demo_tool"; }
echo "package: $DEB"
dpkg-deb -f "$DEB" Package Version Depends Recommends
# Debian's package checker: errors fail the test; warnings and notes are shown.
lint_rc=0
lintian --fail-on error "$DEB" >"$WORK/lintian.log" 2>&1 || lint_rc=$?
grep -v '^running with root privileges' "$WORK/lintian.log" || true
[ "$lint_rc" = 0 ] || fail "lintian found errors"

# 2. Install and check the layout.
echo "== dpkg -i"
dpkg -i "$DEB" </dev/null || fail "dpkg -i"
dpkg -L velmora | sort >"$WORK/files"
[ "$(readlink -f /usr/bin/velmora)" = /usr/lib/velmora/velmora ] || fail "/usr/bin/velmora is no link to /usr/lib/velmora/velmora"
[ -x /usr/lib/velmora/velmora ] || fail "/usr/lib/velmora/velmora is not executable"
[ "$(readlink /usr/lib/velmora/ParametriKelvora.ini)" = "$INI" ] || fail "/usr/lib/velmora/ParametriKelvora.ini is no link to $INI"
dpkg-query -W -f='${Conffiles}\n' velmora | grep -q "^ $INI " || fail "$INI is not a conffile"
grep -q '^\[PERCORSI\]' "$INI" || fail "$INI has no PERCORSI section"
[ -f /usr/share/doc/velmora/copyright ] || fail "no /usr/share/doc/velmora/copyright"
pages=$(grep -c '^/usr/share/man/man1/.*\.1\.gz$' "$WORK/files" || true)
[ "$pages" -ge 1 ] || fail "no manual pages"
while read -r page; do
  gzip -t "$page" || fail "$page is not gzip"
  program=$(basename "$page" .1.gz)
  [ -x "/usr/lib/velmora/$program" ] || fail "$page has no program /usr/lib/velmora/$program"
done < <(grep '^/usr/share/man/man1/.*\.1\.gz$' "$WORK/files")
for program in /usr/lib/velmora/*; do
  [ -L "$program" ] && continue
  name=$(basename "$program")
  [ -L "/usr/bin/$name" ] || fail "no link /usr/bin/$name"
  [ -f "/usr/share/man/man1/$name.1.gz" ] || fail "no manual page for $name"
done

# The service template: installed, enabled nowhere, valid for an instance.
UNIT=/lib/systemd/system/velmora-batch@.service
[ -f "$UNIT" ] || fail "no $UNIT"
grep -qx "$UNIT" "$WORK/files" || fail "$UNIT is not the package's"
grep -q '^ExecStart=.*/usr/lib/velmora/velmora-batch --watch' "$UNIT" || fail "$UNIT does not start /usr/lib/velmora/velmora-batch --watch"
enabled=$(find /etc/systemd/system -name 'velmora-batch@*' 2>/dev/null || true)
[ -z "$enabled" ] || fail "the package enabled the service: $enabled"
command -v systemd-analyze >/dev/null 2>&1 || fail "systemd-analyze missing (package systemd)"
INSTANCE=$(systemd-escape --template=velmora-batch@.service '1/query_esterno')
[ "$INSTANCE" = velmora-batch@1-query_esterno.service ] || fail "unexpected instance name $INSTANCE"
systemd-analyze verify "$INSTANCE" >"$WORK/verify.log" 2>&1 || { cat "$WORK/verify.log"; fail "systemd-analyze verify $INSTANCE"; }
echo "service template: $UNIT, not enabled, verify of $INSTANCE passed"
# Its system user, made by the postinst.
getent passwd velmora >"$WORK/user" || fail "no system user velmora"
uid=$(cut -d: -f3 "$WORK/user")
[ "$uid" -lt 1000 ] || fail "velmora is no system user (uid $uid)"
case "$(cut -d: -f7 "$WORK/user")" in */nologin|*/false) ;; *) fail "velmora has a login shell" ;; esac
if getent group firebird >/dev/null; then
  id -nG velmora | tr ' ' '\n' | grep -qx firebird || fail "velmora is not in group firebird"
fi
echo "system user: $(cat "$WORK/user")"

# 3. A publication through /usr/bin/velmora. The test Prism server stops by
# itself when this script ends; it is stopped by its pid in cleanup.
echo "== publication through /usr/bin/velmora"
mkdir -p "$WORK/run" "$WORK/foto" "$WORK/server"
PHOTO=$WORK/foto/tramonto.jpg
head -c 20000 /dev/urandom >"$PHOTO"
/usr/bin/python3 "$ROOT/tests/peers/prism_server.py" --user demo:demo --data "$WORK/server" \
  --lifetime 300 >"$WORK/server.port" 2>"$WORK/server.log" &
SERVER_PID=$!
for _ in $(seq 1 100); do
  [ -s "$WORK/server.port" ] && break
  sleep 0.1
done
PORT=$(head -n 1 "$WORK/server.port")
[ -n "$PORT" ] || { cat "$WORK/server.log"; fail "the test Prism server did not start"; }
# Every step that waits on a database or the server is bounded in time.
timeout -k 10 120 "$BUILD/tools/velmora_demo_tool" setup "$WORK/run" "http://127.0.0.1:$PORT/" \
  "$ROOT/tests/fixtures/archive_schema.sql" "$WORK/foto" || fail "demo databases"
# The configuration goes into the conffile; the copy next to the databases
# is removed so that only /etc/velmora can guide the run.
cat "$WORK/run/ParametriKelvora.ini" >"$INI"
rm "$WORK/run/ParametriKelvora.ini"
(cd / && timeout -k 10 120 env -u DISPLAY /usr/bin/velmora 1 query_esterno - 1 </dev/null) >"$WORK/run.out" 2>"$WORK/run.err" ||
  fail "velmora exited with $?"
tr -d '\r' <"$WORK/run.out"
printf '1 files imported\r\n1 files uploaded\r\nTORNAVELO terminato\r\n' | cmp -s - "$WORK/run.out" ||
  { cat "$WORK/run.err"; fail "unexpected output of velmora"; }
timeout -k 10 60 "$BUILD/tools/velmora_demo_tool" show "$WORK/run" 1 >"$WORK/row" || fail "reading the transfer row"
sha=$(sha1sum "$PHOTO" | cut -d' ' -f1)
grep -qx "  HASHPRISM = $sha" "$WORK/row" || { cat "$WORK/row"; fail "the transfer row does not hold the photo's hash"; }
grep -Eq '^  IDPRISM = .+' "$WORK/row" || { cat "$WORK/row"; fail "the transfer row holds no photo identifier"; }
echo "transfer row 1: hash $sha recorded"

# 4. Removal leaves the conffile only; purge leaves nothing.
# left_behind: the package's paths that still exist, except directories
# that other packages own too (/usr/bin, /usr/share/man/man1, ...; also
# /lib, a link to usr/lib on a merged /usr).
shared_dir() {
  local owners
  [ -d "$1" ] || return 1
  owners=$(dpkg -S "$1" 2>/dev/null || true)
  owners=$(sed 's/: .*//' <<<"$owners" | tr ',' '\n' | tr -d ' ' | sed 's/:.*//')
  grep -vqx -e velmora -e "" <<<"$owners"
}
left_behind() {
  while read -r path; do
    [ -e "$path" ] || [ -L "$path" ] || continue
    shared_dir "$path" && continue
    echo "$path"
  done <"$WORK/files"
}
echo "== dpkg -r"
dpkg -r velmora </dev/null || fail "dpkg -r"
[ "$(installed_status | cut -c2)" = c ] || fail "after dpkg -r the package is not in state config-files"
left=$(left_behind)
[ "$left" = "$(printf '%s\n%s' "$ETC" "$INI")" ] || fail "dpkg -r left: ${left//$'\n'/ }"
grep -qF "$WORK/run/config.fdb" "$INI" || fail "dpkg -r did not keep the changed conffile"
echo "== dpkg -P"
dpkg -P velmora </dev/null || fail "dpkg -P"
dpkg-query -W velmora >/dev/null 2>&1 && fail "dpkg still knows velmora after dpkg -P"
left=$(left_behind)
[ -z "$left" ] || fail "dpkg -P left: ${left//$'\n'/ }"
[ -e "$ETC" ] && fail "dpkg -P left $ETC"
echo "package test passed"
