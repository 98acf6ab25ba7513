#!/usr/bin/env bash
# Builds the Debian package and checks it as a user's machine would meet it:
#   - lintian (errors and warnings fail), desktop-file-validate, appstreamcli (no network),
#     man --warnings on every manual page,
#     and one version in the package, the program folder, the changelog, the metadata and the manual;
#   - apt resolves its dependencies on this machine (a simulation: nothing is installed);
#   - dpkg installs it into a fresh root folder and removes it again (the machine's own dpkg
#     database and files stay untouched); nothing installed carries capabilities or set-id bits;
#   - the installed menu and autostart command, run as an unprivileged user (nobody) in a network
#     and pid namespace of its own on the offscreen platform, copies the program folder into the
#     user's data folder and lives in the tray; ending the namespace's first process ends it all.
#   scripts/package-check.sh [BUILD_FOLDER]   (default build/default). Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
if [ "$(id -u)" -ne 0 ]; then
  echo "package-check: needs root (namespaces, an unprivileged test user)" >&2
  exit 1
fi
fail() {
  echo "package-check: FAILED: $*" >&2
  exit 1
}

./scripts/package.sh "$build"
deb=$(ls "$PWD/$build"/package/velmor_*.deb)
version=$(dpkg-deb -f "$deb" Version)

echo "== lintian"
set +e
lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'running with root privileges'
lintian_status=${PIPESTATUS[0]}
set -e
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors or warnings"

work=$(mktemp -d /tmp/velmor-package-check.XXXXXX)
namespace_pid=""
# Velmor is the first process of its pid namespace (unshare's one child): ending it makes the
# kernel end every process of that namespace, and then unshare ends too. (--kill-child alone is
# not enough: the change of user id clears the parent-death signal.)
end_namespace() {
  local first
  first=$(ps -o pid= --ppid "$namespace_pid" | tr -d ' ')
  [ -z "$first" ] || kill -KILL "$first" 2>/dev/null || true
  wait "$namespace_pid" 2>/dev/null || true
  namespace_pid=""
}
cleanup() {
  if [ -n "$namespace_pid" ]; then end_namespace; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== desktop entries, AppStream metadata, manual page"
dpkg-deb -x "$deb" "$work/unpacked"
desktop-file-validate "$work/unpacked/usr/share/applications/velmor.desktop" || fail "menu entry"
desktop-file-validate "$work/unpacked/etc/xdg/autostart/velmor.desktop" || fail "autostart entry"
appstreamcli validate --no-net "$work/unpacked/usr/share/metainfo/org.velmor.Velmor.metainfo.xml" ||
  fail "AppStream metadata"
for page in "$work"/unpacked/usr/share/man/man*/*.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "manual page $(basename "$page"): $warnings"
done

folder_version=$(cat "$work/unpacked/usr/lib/velmor/P/VERSION")
changelog_version=$(zcat "$work/unpacked/usr/share/doc/velmor/changelog.gz" | sed -n '1s/^velmor (\([^)]*\)).*/\1/p')
metainfo_version=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' \
  "$work/unpacked/usr/share/metainfo/org.velmor.Velmor.metainfo.xml" | head -n 1)
manual_version=$(zcat "$work/unpacked/usr/share/man/man1/velmor.1.gz" | sed -n '1s/.*"Velmor \([^"]*\)".*/\1/p')
guard_manual=$work/unpacked/usr/share/man/man8/velmor-guard.8.gz
[ -f "$guard_manual" ] || fail "no manual page for velmor-guard"
guard_manual_version=$(zcat "$guard_manual" | sed -n '1s/.*"Velmor \([^"]*\)".*/\1/p')
for v in "$folder_version" "$changelog_version" "$metainfo_version" "$manual_version" "$guard_manual_version"; do
  [ "$v" = "$version" ] || fail "version $version of the package, but $folder_version (P/VERSION)," \
    "$changelog_version (changelog), $metainfo_version (metainfo), $manual_version (manual)," \
    "$guard_manual_version (guard's manual)"
done

echo "== apt resolves the dependencies (simulation)"
apt-get install --simulate -qq "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt cannot install it"; }

echo "== install into a fresh root folder"
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The dependencies were checked above against this machine; the fresh root has none of them.
dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null -i "$deb" >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg cannot install it"; }
dpkg-query --root="$root" -W -f='${Status}\n' velmor | grep -q 'install ok installed' || fail "not installed"
for f in usr/bin/velmor usr/lib/velmor/P/velmor usr/lib/velmor/P/hostlet usr/lib/velmor/P/support/updater \
  usr/lib/velmor/P/support/fetchel; do
  [ -x "$root/$f" ] || fail "$f is missing or not executable"
done
[ -z "$(getcap -r "$root" 2>/dev/null)" ] || fail "installed files carry capabilities: $(getcap -r "$root")"
[ -z "$(find "$root" -perm /6000 -o -perm /0002 ! -type l)" ] || fail "set-id or world-writable files installed"

echo "== the menu and autostart command starts Velmor into its tray"
menu_command=$(sed -n 's/^Exec=//p' "$root/usr/share/applications/velmor.desktop")
login_command=$(sed -n 's/^Exec=//p' "$root/etc/xdg/autostart/velmor.desktop")
if [ "$menu_command" != velmor ] || [ "$login_command" != velmor ]; then
  fail "the entries run '$menu_command' and '$login_command', not the launcher"
fi
chmod 755 "$work"
home=$work/home
mkdir -p "$home"
chown 65534:65534 "$home"
# nobody, without capabilities or groups, in namespaces of its own: its bait listener and teardown
# can reach nothing of this machine, and every process it starts ends with the namespace.
unshare --net --pid --fork --kill-child -- \
  setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all --bounding-set=-all \
  env -i PATH=/usr/bin:/bin HOME="$home" XDG_DATA_HOME="$home/data" QT_QPA_PLATFORM=offscreen \
  VELMOR_TEST_TRAY=1 VELMOR_TEST_PAUSE_DIVISOR=10 VELMOR_DEBUG_LOG=1 \
  "$root/usr/bin/$login_command" >"$work/velmor.log" 2>&1 &
namespace_pid=$!
for _ in $(seq 1 600); do
  grep -q '^event window hidden' "$work/velmor.log" && break
  kill -0 "$namespace_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q '^event window hidden' "$work/velmor.log" || { cat "$work/velmor.log"; fail "Velmor did not reach its tray"; }
copy=$home/data/velmor/P
[ "$(cat "$copy/VERSION")" = "$version" ] || fail "the user's copy has no VERSION $version"
[ -d "$copy/invader" ] || fail "no rule folder in the user's copy"
[ "$(stat -c %u "$copy/invader")" = 65534 ] || fail "the rule folder is not the user's"
[ "$(stat -c %u "$copy/velmor")" = 65534 ] || fail "the user's program file is not the user's"
[ -z "$(getcap -r "$copy" 2>/dev/null)" ] || fail "the user's copy carries capabilities"
end_namespace

namespace_pid=""

echo "== remove and purge"
dpkg --root="$root" --force-script-chrootless --log=/dev/null --purge velmor >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg cannot remove it"; }
for f in usr/lib/velmor usr/bin/velmor etc/xdg/autostart/velmor.desktop usr/share/applications/velmor.desktop; do
  [ ! -e "$root/$f" ] || fail "$f is left after the purge"
done

echo "package-check: $(basename "$deb") builds, passes lintian, installs, starts to its tray and purges"
