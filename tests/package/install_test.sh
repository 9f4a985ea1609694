#!/usr/bin/env bash
# `cmake --install` into a temporary DESTDIR: every file of the layout and nothing else,
# with a package's modes; the desktop entry, the AppStream metainfo and both man pages
# pass the validators a distribution runs; both programs' --version name the version that
# CMake's project() declares.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"

DESTDIR="$work/root" cmake --install "$KORVALANE_BUILD" --prefix /usr >"$work/install.log" ||
  { cat "$work/install.log" >&2; exit 1; }
usr="$work/root/usr"
id=org.example.Korvalane

# The layout: exactly the expected files.
expect_equal "installed files" "$(cd "$usr" && find . -type f -o -type l | sed 's|^\./||' | sort)" \
  "$(installed_files | sort)"
while read -r mode path; do
  case "$path" in
    bin/*) expect_equal "mode of $path" "$mode" 755 ;;
    *) expect_equal "mode of $path" "$mode" 644 ;;
  esac
done < <(cd "$usr" && find . -type f -printf '%m %P\n')
while read -r mode path; do
  expect_equal "mode of folder $path" "$mode" 755
done < <(cd "$usr" && find . -mindepth 1 -type d -printf '%m %P\n')

# Each PNG is as large as the folder it is in says.
for png in "$usr"/share/icons/hicolor/*x*/apps/$id.png; do
  size=$(basename "$(dirname "$(dirname "$png")")")
  file -b "$png" | grep -q "^PNG image data, ${size/x/ x }," || fail "$png is not a ${size} PNG: $(file -b "$png")"
done
grep -q '<svg' "$usr/share/icons/hicolor/scalable/apps/$id.svg" || fail "the scalable icon is no SVG"

# The desktop entry: valid (hints are fine), starting an installed program on files, with
# the installed icon, for MIME types the system's shared-mime-info knows.
desktop="$usr/share/applications/$id.desktop"
if ! desktop-file-validate "$desktop" >"$work/desktop.log" 2>&1 || grep -Eq ': (error|warning): ' "$work/desktop.log"; then
  fail "desktop-file-validate: $(cat "$work/desktop.log")"
fi
entry() { sed -n "s/^$1=//p" "$desktop"; }
exec_line=$(entry Exec)
[[ -x "$usr/bin/${exec_line%% *}" ]] || fail "Exec=$exec_line does not start an installed program"
[[ "$exec_line" == *" %F" ]] || fail "Exec=$exec_line does not take files (%F)"
expect_equal "Icon" "$(entry Icon)" "$id"
expect_equal "Categories" "$(entry Categories)" "System;Utility;"
expect_equal "Terminal" "$(entry Terminal)" false
IFS=';' read -r -a mime_types <<<"$(entry MimeType)"
((${#mime_types[@]} > 0)) || fail "the desktop entry names no MIME type"
for type in "${mime_types[@]}"; do
  grep -qxF "$type" /usr/share/mime/types || fail "MIME type $type is unknown to shared-mime-info"
done

# The metainfo: valid, launching this desktop entry, naming this release, showing
# screenshots that exist in docs/screenshots.
metainfo="$usr/share/metainfo/$id.metainfo.xml"
appstreamcli validate --no-net "$metainfo" >"$work/appstream.log" 2>&1 ||
  fail "appstreamcli validate: $(cat "$work/appstream.log")"
expect_equal "launchable" "$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$metainfo")" "$id.desktop"
expect_equal "newest release" "$(grep -o '<release version="[^"]*"' "$metainfo" | head -1 | cut -d'"' -f2)" \
  "$KORVALANE_VERSION"
screenshots=$(grep -o '<image>[^<]*</image>' "$metainfo" | sed 's|<image>\(.*\)</image>|\1|')
[[ -n "$screenshots" ]] || fail "the metainfo shows no screenshot"
for url in $screenshots; do
  [[ "$url" == https://* ]] || fail "screenshot $url is not an https address"
  [[ -f "$KORVALANE_SOURCE/docs/screenshots/${url##*/}" ]] || fail "screenshot $url is not in docs/screenshots"
done

# The changelog's newest entry is this version.
expect_equal "changelog" "$(zcat "$usr/share/doc/korvalane/changelog.gz" | head -1 | cut -d' ' -f1-2)" \
  "korvalane ($KORVALANE_VERSION)"
grep -q '^License: MIT$' "$usr/share/doc/korvalane/copyright" || fail "the copyright file names no MIT licence"

# The man pages: no warning from mandoc nor from groff through man, and the version in
# the footer.
for page in "$usr"/share/man/man1/*.1.gz; do
  lint=$(mandoc -Tlint -Wwarning "$page" 2>&1) || true
  [[ -z "$lint" ]] || fail "mandoc -Tlint $(basename "$page"): $lint"
  MANWIDTH=80 man -l --warnings "$page" >"$work/page.txt" 2>"$work/man.log" || fail "man -l $(basename "$page") failed"
  [[ ! -s "$work/man.log" ]] || fail "man -l $(basename "$page"): $(cat "$work/man.log")"
  grep -q "^Korvalane $KORVALANE_VERSION " "$work/page.txt" || fail "$(basename "$page") does not name version $KORVALANE_VERSION"
done

# --version, also where no display could be opened.
expect_equal "korvalane-cli --version" "$("$usr/bin/korvalane-cli" --version)" "korvalane-cli $KORVALANE_VERSION"
expect_equal "korvalane --version" \
  "$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$usr/bin/korvalane" --version)" \
  "korvalane $KORVALANE_VERSION"

finish
