#!/usr/bin/env bash
# Compares a program's man page with its --help: the options listed, and where the help lists
# commands (vornctl), the commands and each command's own options. Any difference fails.
# Usage: man_matches_help.sh PROGRAM MAN_PAGE
set -euo pipefail
program=$1
page=$2
failed=0

options() { grep -o -- '--[a-z][a-z0-9-]*' | sort -u || true; }

# The roff text of one section of the page, headings left out.
section() { awk -v name="$1" '/^\.SH /{on = ($2 == name); next} on' "$page"; }

# Each entry of a definition list as one line: the term's first word, a tab, term and text.
entries() {
    sed 's/\\f[BIR]//g' |
        awk '/^\.RS / {split(held, w, " "); key = w[1]; text[key] = held; held = ""; next}
             /^\.(P|RE)$/ {next}
             {if (held != "" && key != "") text[key] = text[key] " " held; held = $0}
             END {if (held != "" && key != "") text[key] = text[key] " " held
                  for (k in text) print k "\t" text[k]}'
}

compare() { # what, from --help, from the man page
    if [[ $2 != "$3" ]]; then
        echo "FAIL ${program##*/}: $1 differ between --help and the man page"
        diff <(echo "$2") <(echo "$3") |
            sed -n 's/^< \(.\)/  only in --help: \1/p; s/^> \(.\)/  only in the man page: \1/p'
        failed=1
    fi
}

[[ -s $page ]] || { echo "FAIL no man page at $page"; exit 1; }
help=$("$program" --help)
compare "options" "$(options <<<"$help")" "$(section OPTIONS | options)"

if grep -q '^Commands:' <<<"$help"; then
    help_commands=$(sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p' <<<"$help" | sort)
    man_entries=$(section COMMANDS | entries)
    compare "commands" "$help_commands" "$(cut -f1 <<<"$man_entries" | sort)"
    for command in $help_commands; do
        # The command's usage line repeats the general options; only what follows is its own.
        own=$("$program" --help "$command" | sed 's/.*\] \[--json\]//' | options)
        listed=$(awk -F'\t' -v c="$command" '$1 == c {print $2}' <<<"$man_entries" | options)
        compare "options of '$command'" "$own" "$listed"
    done
fi
exit $failed
