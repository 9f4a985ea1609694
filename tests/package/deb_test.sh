#!/usr/bin/env bash
# The Debian package, built by CPack from this build: lintian (with the machine's
# profile) finds no error; its contents are the install layout under /usr, owned by root
# with a package's modes and stripped binaries; its dependencies were computed from the
# binaries; and the programs unpacked from it run: --version, and `drives` on a sample.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
: "${KORVALANE_SAMPLES:?}"

cpack -G DEB -B "$work/out" --config "$KORVALANE_BUILD/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; exit 1; }
deb="$work/out/korvalane_${KORVALANE_VERSION}_$(dpkg --print-architecture).deb"
[[ -f "$deb" ]] || { echo "FAIL: cpack made no $(basename "$deb"):" >&2; ls "$work/out" >&2; exit 1; }

# lintian: errors fail the test; warnings and the rest are shown.
profile=$(dpkg-vendor --query Vendor | tr '[:upper:]' '[:lower:]')
lintian --profile "$profile" --fail-on none "$deb" >"$work/lintian.log" 2>&1 ||
  fail "lintian did not run: $(cat "$work/lintian.log")"
grep -v '^running with root privileges' "$work/lintian.log" || true
if grep -q '^E: ' "$work/lintian.log"; then
  fail "lintian reports errors"
fi

# The control fields.
expect_equal "Package" "$(dpkg-deb -f "$deb" Package)" korvalane
expect_equal "Version" "$(dpkg-deb -f "$deb" Version)" "$KORVALANE_VERSION"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libqt6core6 libqt6widgets6; do
  [[ "$depends" =~ (^|, )$library\ \(\>=\  ]] || fail "Depends does not name $library with a version: $depends"
done

# The contents: the install layout under /usr (and lintian's overrides), owned by root.
dpkg-deb --contents "$deb" >"$work/contents.txt"
expect_equal "files in the package" \
  "$(awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' "$work/contents.txt" | sort)" \
  "$({ installed_files | sed 's|^|usr/|'; echo usr/share/lintian/overrides/korvalane; } | sort)"
while read -r mode owner path; do
  expect_equal "owner of $path" "$owner" root/root
  case "$mode $path" in
    d*) expect_equal "mode of $path" "$mode" drwxr-xr-x ;;
    *" ./usr/bin/"*) expect_equal "mode of $path" "$mode" -rwxr-xr-x ;;
    *) expect_equal "mode of $path" "$mode" -rw-r--r-- ;;
  esac
done < <(awk '{ print $1, $2, $6 }' "$work/contents.txt")

# The programs as the package installs them.
dpkg-deb -x "$deb" "$work/root"
bin="$work/root/usr/bin"
for program in korvalane korvalane-cli; do
  file -b "$bin/$program" | grep -q ', stripped$' || fail "$program is not stripped: $(file -b "$bin/$program")"
done
expect_equal "korvalane-cli --version" "$("$bin/korvalane-cli" --version)" "korvalane-cli $KORVALANE_VERSION"
expect_equal "korvalane --version" \
  "$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$bin/korvalane" --version)" "korvalane $KORVALANE_VERSION"
image="$KORVALANE_SAMPLES/fat16.img"
expect_equal "korvalane-cli drives" "$("$bin/korvalane-cli" drives "$image")" \
  "C: FAT16, 16 Mb,32768 sectors  $image"

finish
