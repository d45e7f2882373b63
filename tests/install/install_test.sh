#!/usr/bin/env bash
# Installs the build into a temporary folder (DESTDIR, prefix /usr) and runs
# the installed program from there: version, plug-ins found in the installed
# plug-in folder, a conversion without a display with the per-user settings
# file, and the validators of the desktop entry, the AppStream data and the
# manual page.
# usage: install_test.sh BUILD_DIR VERSION APPSTREAM_ID PLUGIN_DIR
set -uo pipefail
build=$1 version=$2 appstream_id=$3 plugindir=usr/$4 # below the prefix /usr

work=$(mktemp -d "${TMPDIR:-/tmp}/zumo-install.XXXXXX")
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
root=$work/root
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
expect_eq() { # what, got, wanted
  [ "$2" == "$3" ] || fail "$1: got [$2], wanted [$3]"
}

DESTDIR=$root cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }
zumo=$root/usr/bin/zumo
metainfo=$root/usr/share/metainfo/$appstream_id.metainfo.xml

# ---- the installed files ------------------------------------------------------
for f in usr/bin/zumo usr/lib/zumo/zumo-spi-host \
  "$plugindir"/png.spi "$plugindir"/gif.spi "$plugindir"/webp.spi "$plugindir"/tiff.spi \
  "$plugindir"/heif.spi "$plugindir"/jxl.spi \
  usr/share/applications/zumo.desktop \
  usr/share/icons/hicolor/scalable/apps/zumo.svg \
  "usr/share/metainfo/$appstream_id.metainfo.xml" \
  usr/share/man/man1/zumo.1.gz \
  usr/share/doc/zumo/copyright usr/share/doc/zumo/changelog.gz usr/share/doc/zumo/README.md; do
  [ -s "$root/$f" ] || fail "not installed: $f"
done
[ -x "$zumo" ] || fail "usr/bin/zumo is not executable"
[ -x "$root/usr/lib/zumo/zumo-spi-host" ] || fail "the plug-in helper is not executable"
# Each screenshot named in the AppStream data is installed, and is a PNG.
shots=$(sed -n 's|.*<image>.*/\([^/<]*\)</image>.*|\1|p' "$metainfo")
[ -n "$shots" ] || fail "no screenshot in $metainfo"
for shot in $shots; do
  png=$root/usr/share/zumo/screenshots/$shot
  expect_eq "signature of $shot" "$(head -c 8 "$png" 2>/dev/null | od -An -tx1 | tr -d ' \n')" \
    89504e470d0a1a0a
done

# ---- the installed program --------------------------------------------------------
# No display, a fresh HOME: the program must find everything from its own
# folder and keep its settings in the per-user file, although this
# installation's bin folder can be written (as /usr/bin can by root).
home=$work/home
mkdir -p "$home"
run_zumo() {
  (cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY -u SUSIE_PLUGIN_PATH -u XDG_CONFIG_HOME \
    HOME="$home" "$zumo" "$@")
}

expect_eq "zumo --version" "$(run_zumo --version)" "zumo $version"

list=$(run_zumo --list-plugins)
status=$?
expect_eq "status of --list-plugins" "$status" 0
# name of the plug-in, then a file pattern it must announce
for entry in png.spi:'*.png' gif.spi:'*.gif' webp.spi:'*.webp' tiff.spi:'*.tif' \
  heif.spi:'*.heic' jxl.spi:'*.jxl'; do
  name=${entry%%:*} pattern=${entry#*:}
  grep -q "^$root/$plugindir/$name  00IN  " <<<"$list" || fail "--list-plugins lacks $name: $list"
  block=$(sed -n "\|^$root/$plugindir/$name |,\|^/|p" <<<"$list")
  grep -qF "    $pattern" <<<"$block" || fail "$name does not announce $pattern: $block"
done
expect_eq "plug-ins listed" "$(grep -c '^/' <<<"$list")" 6

# A 2x2 24-bit BMP, converted to PNG by the settings in the per-user file
# (RadioGroup1 item 1 "→PNG"; CheckBox6 puts it in the subfolder "resize").
mkdir -p "$work/pics" "$home/.config/zumo"
{
  printf 'BM\x46\0\0\0\0\0\0\0\x36\0\0\0'                               # file header, 70 bytes
  printf '\x28\0\0\0\x02\0\0\0\x02\0\0\0\x01\0\x18\0\0\0\0\0\x10\0\0\0' # 2x2, 24 bits
  printf '\x13\x0b\0\0\x13\x0b\0\0\0\0\0\0\0\0\0\0'
  printf '\xff\0\0\0\xff\0\0\0\0\0\xff\xff\xff\xff\0\0' # two rows, padded to 8 bytes
} >"$work/pics/a.bmp"
printf '[Form1]\nRadioGroup1.ItemIndex=1\nRadioGroup10.ItemIndex=0\n' >"$home/.config/zumo/zumo.ini"
run_zumo -- "$work/pics/a.bmp" >"$work/run.out" 2>&1
status=$?
expect_eq "status of the conversion" "$status" 0
expect_eq "PNG written" "$(head -c 8 "$work/pics/resize/a.png" 2>/dev/null | od -An -tx1 | tr -d ' \n')" \
  89504e470d0a1a0a
grep -q '^RadioGroup1.ItemIndex=1' "$home/.config/zumo/zumo.ini" ||
  fail "per-user settings file not kept"
grep -q '^Maximized=' "$home/.config/zumo/zumo.ini" || fail "per-user settings file not written at the end"
# Nothing lands in the shared program folder.
expect_eq "files in usr/bin" "$(ls "$root/usr/bin")" zumo
[ "$status" -eq 0 ] || cat "$work/run.out"

# ---- validators ------------------------------------------------------------------
out=$(desktop-file-validate "$root/usr/share/applications/zumo.desktop" 2>&1) ||
  fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate says: $out"
grep -q '^Exec=zumo %F$' "$root/usr/share/applications/zumo.desktop" || fail "Exec line"
for type in image/jpeg image/png image/gif image/bmp image/webp image/tiff image/heic image/heif \
  image/avif image/jxl; do
  grep -q "^MimeType=.*$type;" "$root/usr/share/applications/zumo.desktop" || fail "MimeType lacks $type"
done
out=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1) || fail "appstreamcli validate: $out"
# The manual page renders without a warning, as lintian checks it.
out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
  man --warnings -E UTF-8 -l -Tutf8 -Z "$root/usr/share/man/man1/zumo.1.gz" 2>&1 >/dev/null)
[ -z "$out" ] || fail "man: $out"
# Every option the program knows is in the manual page.
page=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$root/usr/share/man/man1/zumo.1.gz" 2>/dev/null)
for option in $(run_zumo --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  grep -q -- "$option" <<<"$page" || fail "manual page lacks $option"
done

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "installed tree checked"
