#!/bin/bash
# The client's completion offers the commands and options that match a prefix, and the live
# interface names where a command looks one up, the declared services' too.
set -eu
source /usr/share/bash-completion/bash_completion
source "$1"
marker=$(mktemp -u)

# Stands for the client: what "svcreg list" prints when piped, once it was asked as it should.
svcreg() {
    [[ "$*" == "--channel=other --timeout=1 list" ]] || return 3
    printf 'com.ex.Audio\t1\taudio_ch\t-\troot\ncom.ex.Camera\t2\tcam_ch\t42\troot\n'
    printf 'com.ex.Camera\t3\tcam2_ch\t43\troot\n'
    printf 'x.$(touch${IFS}%s)\t4\tx_ch\t-\tmallory\n\n' "$marker"
    printf 'zoom\tidle\tzoom_ch\tcom.ex.Zoom com.ex.Focus\t-\n'
}

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
expect "reg register reg-invoker reg-proxy" svcreg re
expect "status" svcreg help st
expect "--json --json=pretty" svcreg find com.ex.A --js
expect "--reply-timeout=" svcreg --rep
expect "com.ex.Audio com.ex.Camera com.ex.Focus com.ex.Zoom" svcreg --channel other find com.ex.
expect "com.ex.Camera" svcreg --channel=other wait com.ex.C
expect "com.ex.Zoom" svcreg --channel=other is-declared com.ex.Z
expect "" svcreg --channel=other find com.ex.Audio com
expect "" svcreg reg com
# A name is offered as it is, quoted, and never run.
expect "x.\\\$\\(touch\\\$\\{IFS\\}$marker\\)" svcreg --channel=other find x
[[ ! -e $marker ]] || { echo "FAIL: completing ran a name"; rm -f "$marker"; exit 1; }
echo "OK: completion offers commands, options and live interface names"
