#!/usr/bin/env bash
# Builds the Debian package from a build folder, unpacks it into a temporary
# root (dpkg-deb -x) and checks what a user of the installed package meets:
# the files and nothing more in the program folder, the dependencies, and the
# installed command: --version, "profile new", and a headless collector that
# stores a record from the shipped simulated terminal into an SQLite target
# made from the installed template, then stops cleanly on SIGTERM. The
# desktop entry and the systemd units are checked where the tools exist.
#
#   check-package.sh BUILD_DIR VERSION
set -euo pipefail
BUILD=$(cd "$1" && pwd)
VERSION=$2

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "package check: $*" >&2
  exit 1
}

# --- The package --------------------------------------------------------------
if ! cpack --config "$BUILD/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack failed"
fi
arch=$(dpkg --print-architecture)
deb="$work/pkg/vendrix_${VERSION}_${arch}.deb"
[ -f "$deb" ] || { ls -l "$work/pkg" >&2; fail "no $(basename "$deb")"; }
echo "package check: built $(basename "$deb") ($(stat -c %s "$deb") bytes)"

depends=$(dpkg-deb -f "$deb" Depends)
echo "package check: Depends: $depends"
for dep in libc6 libqt6core6 libqt6widgets6 libqt6serialport6 libqt6sql6 libqt6sql6-sqlite qt6-qpa-plugins; do
  grep -Eq "(^|, )$dep( |,|$)" <<<"$depends" || fail "Depends lacks $dep"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"
for f in usr/bin/vendrix usr/bin/vendrix-simterm usr/share/applications/vendrix.desktop \
  usr/share/man/man1/vendrix.1.gz usr/share/man/man1/vendrix-simterm.1.gz \
  usr/share/bash-completion/completions/vendrix \
  usr/share/icons/hicolor/48x48/apps/vendrix.png usr/share/icons/hicolor/256x256/apps/vendrix.png \
  usr/lib/systemd/user/vendrix.service lib/systemd/system/vendrix@.service \
  usr/share/doc/vendrix/copyright usr/share/doc/vendrix/changelog.gz; do
  [ -e "$root/$f" ] || fail "the package lacks /$f"
done
# The program folder holds what ships and nothing else.
expected="Vendrix ManualeVendrixPC${VERSION}.pdf db3.dbf db4.dbf db5.dbf libIrLib.so libVendrix.so manual mdb2.mdb vendrix-simterm"
found=$(cd "$root/usr/lib/vendrix" && LC_ALL=C ls | tr '\n' ' ' | sed 's/ $//')
[ "$found" = "$(tr ' ' '\n' <<<"$expected" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')" ] ||
  fail "the program folder holds: $found"
# The manual that Help opens: every picture it names is shipped, and is a
# picture of a window (a PNG of a sane size), not an empty frame.
manual="$root/usr/lib/vendrix/manual"
[ -f "$manual/index.html" ] || fail "the package lacks the manual's index.html"
pictures=$(grep -o 'src="[^"]*"' "$manual/index.html" | sed 's/^src="//; s/"$//')
[ "$(wc -l <<<"$pictures")" -ge 5 ] || fail "the manual names fewer than 5 pictures: $pictures"
for p in $pictures; do
  f="$manual/$p"
  [ -f "$f" ] || fail "the manual names $p, which is not shipped"
  file -b "$f" | grep -Eq '^PNG image data, ([1-9][0-9]{2}|[0-9]{4,}) x ([1-9][0-9]{2}|[0-9]{4,})' ||
    fail "$p is not a window's picture: $(file -b "$f")"
done
grep -q "ExecStart=/usr/bin/vendrix --headless" "$root/usr/lib/systemd/user/vendrix.service" ||
  fail "the user unit does not start /usr/bin/vendrix"

# --- The installed command ------------------------------------------------------
vendrix="$root/usr/bin/vendrix"
export VENDRIX_HOME="$work/home"
mkdir -p "$VENDRIX_HOME"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM VENDRIX_EXCHANGE
for n in 1 2 3 4 5 6 7 8 9; do unset "VENDRIX_COM$n"; done

[ "$("$vendrix" --version | head -n 1)" = "Vendrix $VERSION" ] || fail "vendrix --version says: $("$vendrix" --version)"
"$vendrix" --version | grep -q "GPL-3.0-or-later" || fail "vendrix --version names no licence"
"$vendrix" profile new "$work/shop.VDX" || fail "vendrix profile new failed"
"$vendrix" profile check "$work/shop.VDX" || fail "vendrix profile check failed"

# A headless run: the shipped simulated terminal sends one record over TCP on
# 127.0.0.1; the collector stores it into an SQLite target that it makes from
# the template of the installed program folder.
"$root/usr/bin/vendrix-simterm" send --listen --port 0 --records 1 --resend --max-seconds 60 \
  >"$work/simterm.out" 2>&1 &
pids+=($!)
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^LISTENING \([0-9]*\)$/\1/p' "$work/simterm.out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$work/simterm.out" >&2; fail "vendrix-simterm does not listen"; }
cat >"$VENDRIX_HOME/Vendrix.ini" <<INI
[Com(1)]
ConnType=TCP
ConnProtocol=ACK/NAK
IP1=127
IP2=0
IP3=0
IP4=1
IP5=$port
[DBMS(1)]
Type=Access 2.0 (*.mdb)
Name=$VENDRIX_HOME/records.mdb
Policy=Append
INI
"$vendrix" --headless >"$work/vendrix.out" 2>&1 &
collector=$!
pids+=($collector)
stored=0
for _ in $(seq 300); do
  if [ -f "$VENDRIX_HOME/records.mdb" ] &&
    [ "$(sqlite3 "$VENDRIX_HOME/records.mdb" 'SELECT count(*) FROM Vendrix' 2>/dev/null)" = 1 ]; then
    stored=1
    break
  fi
  sleep 0.1
done
if [ "$stored" != 1 ]; then
  cat "$work/vendrix.out" "$work/simterm.out" >&2
  fail "the headless collector stored no record"
fi
kill -TERM "$collector"
rc=0
wait "$collector" || rc=$?
[ "$rc" = 0 ] || { cat "$work/vendrix.out" >&2; fail "SIGTERM ended the collector with status $rc"; }
grep -q "Collector stopped" "$work/vendrix.out" || fail "no clean stop in the collector's output"
grep -q "Collector stopped" "$VENDRIX_HOME/LOG.txt" || fail "no clean stop in LOG.txt"
record=$(sqlite3 "$VENDRIX_HOME/records.mdb" 'SELECT AllRek FROM Vendrix')
echo "package check: the installed collector stored \"$record\" and stopped with status 0"

# --- Purging removes the links of enabled units -----------------------------------
# The maintainer script run on a root of its own (DPKG_ROOT, as dpkg gives it).
fake="$work/dpkgroot"
mkdir -p "$fake/etc/systemd/system/multi-user.target.wants" "$fake/etc/systemd/user/default.target.wants"
ln -s /lib/systemd/system/vendrix@.service "$fake/etc/systemd/system/multi-user.target.wants/vendrix@alice.service"
ln -s /usr/lib/systemd/user/vendrix.service "$fake/etc/systemd/user/default.target.wants/vendrix.service"
ln -s /lib/systemd/system/other.service "$fake/etc/systemd/system/multi-user.target.wants/other.service"
dpkg-deb -e "$deb" "$work/control"
DPKG_ROOT="$fake" sh "$work/control/postrm" remove
[ -L "$fake/etc/systemd/system/multi-user.target.wants/vendrix@alice.service" ] || fail "postrm remove dropped an enabled unit"
DPKG_ROOT="$fake" sh "$work/control/postrm" purge
left=$(cd "$fake" && find . -name 'vendrix*')
[ -z "$left" ] || fail "postrm purge left: $left"
[ -L "$fake/etc/systemd/system/multi-user.target.wants/other.service" ] || fail "postrm purge removed another unit's link"
echo "package check: purging removes the links of enabled units, and only those"

# --- Desktop entry, units and lintian, where the tools exist ----------------------
if command -v desktop-file-validate >/dev/null 2>&1; then
  desktop-file-validate "$root/usr/share/applications/vendrix.desktop" || fail "desktop-file-validate"
  echo "package check: desktop-file-validate passed"
else
  echo "package check: desktop-file-validate missing (desktop-file-utils): not checked"
fi
if command -v systemd-analyze >/dev/null 2>&1; then
  # The units start /usr/bin/vendrix, which is in the unpacked root here:
  # verify copies that start the unpacked command (systemd checks that it is
  # executable), the template through an instance for the current user.
  units="$work/units"
  mkdir -p "$units"
  sed "s#=/usr/bin/vendrix #=$root/usr/bin/vendrix #" "$root/usr/lib/systemd/user/vendrix.service" \
    >"$units/vendrix.service"
  sed "s#=/usr/bin/vendrix #=$root/usr/bin/vendrix #" "$root/lib/systemd/system/vendrix@.service" \
    >"$units/vendrix@$(id -un).service"
  for unit in "$units"/*.service; do
    grep -q "^ExecStart=$root/usr/bin/vendrix --headless$" "$unit" || fail "$(basename "$unit"): no ExecStart line"
    out=""
    if ! out=$(cd "$units" && systemd-analyze verify --man=no "$unit" 2>&1) || [ -n "$out" ]; then
      echo "$out" >&2
      fail "systemd-analyze verify $(basename "$unit")"
    fi
  done
  echo "package check: systemd-analyze verify passed on both units"
  # The system unit's sandbox: systemd's own exposure score, 0 (safe) to 10.
  sec=$(cd "$units" && systemd-analyze security --offline=yes "vendrix@$(id -un).service" 2>&1 | tail -n 1)
  score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$sec")
  [ -n "$score" ] || { echo "$sec" >&2; fail "systemd-analyze security gave no score"; }
  echo "package check: systemd-analyze security vendrix@.service: $score"
  awk -v s="$score" 'BEGIN { exit !(s <= 4.0) }' || fail "the system unit's exposure score $score is above 4.0"
else
  echo "package check: systemd-analyze missing (systemd): units not checked"
fi
if command -v lintian >/dev/null 2>&1; then
  if ! lintian --info --fail-on error,warning "$deb" >"$work/lintian.out" 2>&1; then
    cat "$work/lintian.out" >&2
    fail "lintian found errors or warnings"
  fi
  echo "package check: lintian: $(grep -c '^E:' "$work/lintian.out" || true) errors, $(grep -c '^W:' "$work/lintian.out" || true) warnings"
else
  echo "package check: lintian missing: the package is not linted"
fi
echo "package check: passed"
