#!/usr/bin/env bash
# Completes vornctl command lines with the installed completion script and checks the words
# offered: commands and options come from the program's own --help texts.
# Usage: completion.sh VORNCTL COMPLETION_SCRIPT
set -uo pipefail
program=$1
source /usr/share/bash-completion/bash_completion
source "$2"
failed=0

# Offers for the command line "vornctl WORD..." completed at its last word.
offers() {
    COMP_WORDS=(vornctl "$@")
    COMP_CWORD=$#
    COMP_LINE="vornctl $*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _vornctl "$program" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}

expect() { # expected offers, then the words
    local want=$1
    shift
    local got
    got=$(offers "$@")
    if [[ $got != "$want" ]]; then
        echo "FAIL 'vornctl $*<TAB>': offered '$got', expected '$want'"
        failed=1
    fi
}

expect "satellites set-time set-year sim sim-event status sync sync-status " s
expect "--device --help --json " --
expect "wait-event wait-heartbeat wait-match " --device VORNpci1 wa
expect "--immediately --next-second --square " --json heartbeat 10 --
expect "--timeout " wait-event --
expect "--json " health --
expect "freewheel synchronize " sync ""
expect "lost present " sim reference ""
expect "--altitude --count --interval-us --latitude --longitude --satellites " sim gps --
exit $failed
