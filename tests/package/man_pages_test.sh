#!/usr/bin/env bash
# The man pages and the --help texts name the same commands and options: every command
# word and every --option that `korvalane-cli --help` and `korvalane --help` print has an
# item of its own in the matching page (".It Cm WORD", ".It Fl -OPTION"), and every such
# item of a page is still in the program's --help.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"

man="$KORVALANE_SOURCE/docs/man"
cli_help=$("$KORVALANE_BUILD/src/cli/korvalane-cli" --help)
app_help=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$KORVALANE_BUILD/src/app/korvalane" --help)

# The first word of each entry under "Commands:" (entries begin two blanks in; the
# section ends at the next line that begins without a blank).
help_commands() {
  awk '/^Commands:/ { on = 1; next }
       on && /^[^ ]/ { on = 0 }
       on && /^  [a-z]/ { split(substr($0, 3), words, /[ ,]/); print words[1] }' | sort -u
}
help_options() { grep -oE -- '--[a-z][a-z0-9-]*' | sort -u; }

# page_items PAGE MACRO SECTION: the words after ".It MACRO" in a section of the page.
page_items() {
  awk -v macro="$2" -v section="$3" '
    $1 == ".Sh" { on = ($2 == section); next }
    on && $1 == ".It" && $2 == macro { print $3 }' "$1" | sort -u
}

# check PAGE KIND HELP_WORDS PAGE_WORDS
check() {
  local page=$1 kind=$2 word
  [[ -n "$3" ]] || fail "found no $kind in the --help text for $page"
  for word in $3; do
    grep -qxF -- "$word" <<<"$4" || fail "$kind $word of --help has no item in $page"
  done
  for word in $4; do
    grep -qxF -- "$word" <<<"$3" || fail "$page has an item for $kind $word, which --help does not name"
  done
}

cli_page="$man/korvalane-cli.1.in"
app_page="$man/korvalane.1.in"
check korvalane-cli.1 command "$(help_commands <<<"$cli_help")" "$(page_items "$cli_page" Cm COMMANDS)"
check korvalane-cli.1 option "$(help_options <<<"$cli_help")" \
  "$(page_items "$cli_page" Fl OPTIONS | grep -E '^-[a-z]' | sed 's/^/-/')"
check korvalane.1 option "$(help_options <<<"$app_help")" \
  "$(page_items "$app_page" Fl OPTIONS | grep -E '^-[a-z]' | sed 's/^/-/')"

# The exit statuses that --help lists are items of the page's EXIT STATUS section.
statuses=$(sed -n '/^Exit status:/,$p' <<<"$cli_help" | grep -oE '(^|[ ;:])[0-9]+ ' | tr -dc '0-9\n' | sort -u)
[[ -n "$statuses" ]] || fail "found no exit status in korvalane-cli --help"
page_statuses=$(awk '$1 == ".Sh" { on = ($2 == "EXIT"); next } on && $1 == ".It" { print $2 }' "$cli_page" | sort -u)
expect_equal "exit statuses of korvalane-cli.1" "$page_statuses" "$statuses"

finish
