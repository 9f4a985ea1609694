# Shared by the package tests: the paths CTest hands over, a scratch folder, and failures
# that are counted so that one run reports every problem.
set -euo pipefail
: "${KORVALANE_VERSION:?}" "${KORVALANE_BUILD:?}" "${KORVALANE_SOURCE:?}"
export LC_ALL=C.UTF-8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect_equal WHAT ACTUAL EXPECTED
expect_equal() {
  [[ "$2" == "$3" ]] || fail "$1: got '$2', expected '$3'"
}

finish() {
  if ((failures > 0)); then
    echo "$failures failures" >&2
    exit 1
  fi
  echo "all checks passed"
}

# The files every install lays out, below the prefix.
installed_files() {
  local id=org.example.Korvalane size
  printf '%s\n' bin/korvalane bin/korvalane-cli \
    share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
    share/icons/hicolor/scalable/apps/$id.svg \
    share/man/man1/korvalane.1.gz share/man/man1/korvalane-cli.1.gz \
    share/doc/korvalane/copyright share/doc/korvalane/changelog.gz
  for size in 16 24 32 48 64 128 256; do
    echo "share/icons/hicolor/${size}x${size}/apps/$id.png"
  done
}
