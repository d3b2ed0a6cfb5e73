#!/bin/bash
# The client's completion offers the commands that match a prefix, and options after a command.
set -eu
source /usr/share/bash-completion/bash_completion
source "$1"

complete_line() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _svcreg svcreg "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    echo "${COMPREPLY[*]}"
}

expect() {
    local wanted=$1 got
    shift
    got=$(complete_line "$@")
    if [[ $got != "$wanted" ]]; then
        echo "FAIL: '$*' completes to '$got', expected '$wanted'"
        exit 1
    fi
}

expect "find find-svc-id find-invoker find-proxy" svcreg fi
expect "reg reg-invoker reg-proxy register" svcreg re
expect "--json" svcreg find com.ex.A --js
expect "--reply-timeout" svcreg --rep
echo "OK: completion offers commands and options"
