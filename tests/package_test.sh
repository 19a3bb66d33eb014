#!/usr/bin/env bash
# The Debian package: made with cpack from the build, its control fields, files and modes, lintian's verdict, the
# installed programs' --help from a scratch root (dpkg -x), as a golden transcript. With "system" (root, and
# UMPD_SYSTEM_PACKAGE_TEST=1, which CI's fresh machine sets): dpkg -i, the unit's command line started by hand as its
# user, one job printed through it, then dpkg --purge leaving nothing behind.
set -u
build=$1 sample=$2 net=$3 golden=$4/package_${6:-files}.txt work=$5
. "$(dirname "$0")/script_lib.sh"
out=$work/transcript.txt
type -P cpack dpkg-deb lintian dpkg-shlibdeps >/dev/null || { echo "FAIL: see scripts/install-deps.sh"; exit 1; }
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.out" 2>&1) ||
  { cat "$work/cpack.out"; echo "FAIL: cpack"; exit 1; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")/\1/p' "$build/CPackConfig.cmake")
deb=$work/pkg/pralix_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { ls "$work/pkg"; echo "FAIL: no $deb"; exit 1; }

files() {
  { echo "## control"; dpkg-deb -f "$deb" Package Architecture Depends Recommends Suggests Section | sed "s/$version/VERSION/"
    echo "## files (mode, owner, path)"; dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }'
    echo "## maintainer scripts"; dpkg-deb -e "$deb" "$work/control" && (cd "$work/control" && stat -c '%A %n' post* pre*)
    echo "## lintian (errors and warnings)"; lintian --tag-display-limit 0 "$deb" 2>&1 | grep -E '^[EW]: ' || echo none
    echo "## the programs' --help from the unpacked package"; dpkg -x "$deb" "$work/root"
    for p in lib/cups/backend/pralix bin/pralix-printer-app; do
      "$work/root/usr/$p" --help >"$work/help" 2>&1; echo "$p: exit $?, $(head -1 "$work/help")"
    done; } >"$out"
}

# Installs the package, prints one job through the unit's command line, purges it; each step a line.
system() {
  [ "$(id -u)" = 0 ] && [ -n "${UMPD_SYSTEM_PACKAGE_TEST:-}" ] ||
    { echo "SKIPPED: installs into this system: root and UMPD_SYSTEM_PACKAGE_TEST=1 only (CI's fresh machine)"; exit 77; }
  ! dpkg -s pralix >/dev/null 2>&1 || { echo "FAIL: a pralix package is installed here already"; exit 1; }
  check() { if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; fi >>"$out"; }
  : >"$out"
  check "dpkg -i installs it" sh -c "dpkg -i '$deb' >'$work/dpkg.out' 2>&1"
  check "its user and group exist" sh -c "getent passwd pralix >/dev/null && getent group pralix >/dev/null"
  check "its state is the user's, mode 750" test "$(stat -c '%U %a' /var/lib/pralix-printer-app)" = "pralix 750"
  local unit=/lib/systemd/system/pralix-printer-app.service command run
  command=$(sed -n 's/^ExecStart=//p' "$unit") run=$(sed -n 's/^Environment=TMPDIR=//p' "$unit")
  install -d -o pralix -g pralix -m 0750 "$run"
  server 95
  # The unit's command line as systemd would run it (its user, its TMPDIR), without systemd.
  # shellcheck disable=SC2086
  TMPDIR=$run setpriv --reuid=pralix --regid=pralix --init-groups -- $command >"$work/app.out" 2>&1 &
  local apppid=$! as=(env TMPDIR="$run" setpriv --reuid=pralix --regid=pralix --init-groups --)
  pids+=($apppid)
  check "the unit's command line serves" until_ok 100 eval 'ls "$run"/*.sock >/dev/null 2>&1'
  check "a printer for the print server is added" timeout 60 "${as[@]}" pralix-printer-app add -d q \
    -v "pralix://${net}95" -m pralix
  check "a job is submitted" sh -c "timeout 60 ${as[*]} pralix-printer-app submit -d q '$sample' >/dev/null"
  check "the print server gets it with its ticket" until_ok 300 grep -q "^job from .*, 46 options" "$work/server95.out"
  kill "$apppid"; wait "$apppid"
  check "dpkg --purge removes it" sh -c "dpkg --purge pralix >>'$work/dpkg.out' 2>&1"
  check "no user or group left" sh -c "! getent passwd pralix && ! getent group pralix"
  check "no state, spool or run folder left" sh -c "! ls -d /var/lib/pralix-printer-app /var/spool/pralix-printer-app 2>/dev/null"
  rm -rf "$run"
  check "none of its files left" sh -c "dpkg-deb -c '$deb' | awk '\$6 !~ /\/\$/ { print substr(\$6, 2) }' |
    while read -r f; do [ ! -e \"\$f\" ] || { echo \"left: \$f\"; exit 1; }; done"
  check "dpkg knows it no more" sh -c "! dpkg -s pralix >/dev/null 2>&1"
}

"${6:-files}"
golden "$out" "$golden" || { cat "$work/dpkg.out" "$work/app.out" 2>/dev/null | tail -20; exit 1; }
