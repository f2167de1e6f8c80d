#!/usr/bin/env bash
# Checks a built vantrel .deb: its contents (programs, man pages, desktop entry and icon, units,
# spool script and settings), its control data (version, run-time dependencies, maintainer
# scripts), and that the programs unpacked from it (dpkg -x) turn the bundled sample into its
# product: vantrel-cli, the window in batch mode (offscreen), and the spool script.
# Usage: scripts/check-package.sh PACKAGE.deb
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(realpath "$1")
top=$(pwd)
sample=$top/samples/MetopB_20181231_101530.bin
readonly kSampleBytes=$((160 * 13864)) # 160 HRPT minor frames
failures=0
fail() {
  echo "check-package: $*" >&2
  failures=$((failures + 1))
}

listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in usr/bin/vantrel usr/bin/vantrel-cli usr/bin/vantrel-sim \
  usr/share/man/man1/vantrel.1.gz usr/share/man/man1/vantrel-cli.1.gz \
  usr/share/man/man1/vantrel-sim.1.gz usr/share/applications/vantrel.desktop \
  usr/share/icons/hicolor/scalable/apps/vantrel.svg usr/share/doc/vantrel/README.md \
  usr/lib/systemd/system/vantrel-spool.service usr/lib/systemd/system/vantrel-spool.path \
  usr/lib/systemd/system/vantrel-spool.timer usr/libexec/vantrel/vantrel-spool etc/default/vantrel; do
  grep -qxF "./$path" <<<"$listing" || fail "missing from the package: /$path"
done

# A Debian package installs under /usr and /etc: nothing under /usr/local, no /usr/etc.
if grep -qE '^\./usr/(local|etc)/' <<<"$listing"; then
  fail "files outside /usr and /etc: $(grep -E '^\./usr/(local|etc)/' <<<"$listing" | head -3)"
fi

version=$(dpkg-deb -f "$deb" Version)
depends=$(dpkg-deb -f "$deb" Depends)
[ "$(basename "$deb")" = "vantrel_${version}_amd64.deb" ] || fail "file name $(basename "$deb")"
# The package names alone, one a line.
depends_names=$(sed 's/([^)]*)//g; s/ //g' <<<"$depends" | tr ',|' '\n')
for needed in libc6 libstdc++6 libqt6widgets6 libpng16-16 libfec0 libfftw3-single3 adduser; do
  grep -qxF "$needed" <<<"$depends_names" || fail "Depends lacks $needed: $depends"
done
if grep -q -- "-dev$" <<<"$depends_names"; then fail "Depends names a build package: $depends"; fi
control=$(mktemp -d)
unpacked=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf -- "$control" "$unpacked" "$work"' EXIT
dpkg-deb -e "$deb" "$control"
grep -qxF /etc/default/vantrel "$control/conffiles" || fail "/etc/default/vantrel is no conffile"
grep -q "adduser --system" "$control/postinst" || fail "postinst does not create the user"

dpkg -x "$deb" "$unpacked"
for page in vantrel vantrel-cli vantrel-sim; do
  zgrep -q '^\.TH' "$unpacked/usr/share/man/man1/$page.1.gz" || fail "man page $page is no man page"
done
grep -qx "Exec=vantrel" "$unpacked/usr/share/applications/vantrel.desktop" ||
  fail "desktop entry does not start vantrel"
grep -qx "ExecStart=/usr/libexec/vantrel/vantrel-spool" \
  "$unpacked/usr/lib/systemd/system/vantrel-spool.service" ||
  fail "the service does not run the installed spool script"

# The unpacked programs at work.
cli_version=$("$unpacked/usr/bin/vantrel-cli" --version)
[ "$cli_version" = "vantrel-cli $version" ] || fail "vantrel-cli --version: '$cli_version'"
cd "$work"
"$unpacked/usr/bin/vantrel-cli" -q "$sample" DR_y RS_y || fail "vantrel-cli exit status $?"
product=$work/MetopB_20181231_1015_M03.hpt
if [ "$(stat -c %s "$product" 2>/dev/null)" != "$kSampleBytes" ]; then
  fail "vantrel-cli from the package did not make the sample's product"
fi
rm -f "$product"
cp "$sample" .
QT_QPA_PLATFORM=offscreen timeout 300 "$unpacked/usr/bin/vantrel" "$(basename "$sample")" DR_y RS_y \
  >/dev/null 2>&1 || fail "the window's batch run ended with status $?"
if [ "$(stat -c %s "$product" 2>/dev/null)" != "$kSampleBytes" ]; then
  fail "the window from the package did not make the sample's product"
fi
mkdir -p spool/incoming
mv "$(basename "$sample")" spool/incoming/
VANTREL_SPOOL=spool/incoming VANTREL_OUTPUT=spool/products VANTREL_DONE=spool/done \
  VANTREL_FAILED=spool/failed VANTREL_STATE=spool/state VANTREL_SETTLE_SECONDS=0 \
  VANTREL_CLI=$unpacked/usr/bin/vantrel-cli "$unpacked/usr/libexec/vantrel/vantrel-spool" >/dev/null ||
  fail "the spool script from the package ended with status $?"
if [ "$(stat -c %s spool/products/MetopB_20181231_1015_M03.hpt 2>/dev/null)" != "$kSampleBytes" ]; then
  fail "the spool script from the package did not make the sample's product"
fi

if [ "$failures" -gt 0 ]; then
  echo "check-package: $failures check(s) failed for $deb" >&2
  exit 1
fi
echo "check-package: $deb is complete and works (Depends: $depends)"
