#!/bin/bash
# The programs' help and their manual pages tell the same: every command with its parameters and
# its example, every option, every limit and every exit code, each in both; the completion knows
# every command; and no line of help is wider than 79 columns.
# Usage: help_matches_manuals_test.sh SVCREG SVCREGD PACKAGING_DIR
set -u
svcreg=$1 svcregd=$2 packaging=$3
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# A manual page as plain words: no macros, font changes, quotes or escaped dashes.
plain() {
    sed -e 's/^\.[A-Z][A-Z]* *//' -e 's/\\f[BIRP]//g' -e 's/\\-/-/g' -e 's/"//g' "$1" | tr -s ' '
}
# The lines of a manual page's section.
section() {
    sed -n "/^\.SH $2\$/,/^\.SH /p" "$1" > "$tmp/section"
    plain "$tmp/section"
}
# The long options a text names, one a line.
long_options() {
    grep -o -- '--[a-z][a-z-]*' | sort -u
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
plain "$packaging/svcreg.1" > "$tmp/svcreg.1"
plain "$packaging/svcregd.8" > "$tmp/svcregd.8"

"$svcreg" --help > "$tmp/help" || fail "svcreg --help exits $?"
commands=$(sed -n '/^Commands:/,/^$/p' "$tmp/help" | grep -o '^  [a-z][a-z-]*' | tr -d ' ')
[[ $(wc -w <<< "$commands") -ge 15 ]] || fail "svcreg --help lists only: $commands"
for command in $commands; do
    "$svcreg" "$command" --help > "$tmp/command" || fail "svcreg $command --help exits $?"
    "$svcreg" help "$command" | cmp -s - "$tmp/command" ||
        fail "svcreg help $command differs from svcreg $command --help"
    cat "$tmp/command" >> "$tmp/all-help"
    synopsis=$(sed -n 's/^Usage: svcreg \[options\] //p' "$tmp/command")
    example=$(sed -n '/^Example:/{n;s/^  //p}' "$tmp/command")
    grep -qxF -- "$synopsis" "$tmp/svcreg.1" || fail "svcreg.1 lacks the command '$synopsis'"
    grep -qF -- "Example: $example" "$tmp/svcreg.1" ||
        fail "svcreg.1 lacks the example of $command: '$example'"
    grep -qw -- "$command" "$packaging/svcreg.bash-completion" || fail "completion lacks $command"
done
# The word after each .TP of the section: the command it describes.
sed -n '/^\.SH COMMANDS$/,/^\.SH /{/^\.TP$/{n;p}}' "$packaging/svcreg.1" > "$tmp/section"
plain "$tmp/section" | cut -d' ' -f1 |
    while read -r command; do
        grep -qx -- "$command" <<< "$commands" || echo "$command"
    done > "$tmp/unknown"
[[ -s $tmp/unknown ]] && fail "svcreg.1 has commands svcreg does not: $(cat "$tmp/unknown")"

# Options and exit codes, both ways.
compare() {
    local what=$1 from_help=$2 from_manual=$3
    diff <(echo "$from_help") <(echo "$from_manual") > "$tmp/diff" ||
        fail "$what differ between help (<) and manual page (>): $(cat "$tmp/diff")"
}
compare "svcreg's options" "$(long_options < <(sed -n '/^Options:/,/^$/p' "$tmp/help"))" \
    "$(section "$packaging/svcreg.1" OPTIONS | long_options)"
compare "svcreg's exit codes" "$(sed -n '/^Exit codes:/,/^$/p' "$tmp/help" | grep -o '^  [0-9]')" \
    "$(section "$packaging/svcreg.1" 'EXIT STATUS' | grep -o '^[0-9]$' | sed 's/^/  /')"

"$svcregd" --help > "$tmp/daemon-help" || fail "svcregd --help exits $?"
compare "svcregd's options" "$(sed -n '/^Options:/,/^$/p' "$tmp/daemon-help" | long_options)" \
    "$(section "$packaging/svcregd.8" OPTIONS | long_options)"
limits=$(sed -n '/^Limits/,/^$/p' "$tmp/daemon-help" | tail -n +2 | grep -o '[a-z][a-z-]* [0-9]' |
    cut -d' ' -f1)
[[ $(wc -w <<< "$limits") -ge 10 ]] || fail "svcregd --help lists only these limits: $limits"
for limit in $limits; do
    section "$packaging/svcregd.8" LIMITS | grep -qw -- "$limit" || fail "svcregd.8 lacks $limit"
done

awk 'length > 79 { print "FAIL: help line wider than 79 columns: " $0; bad = 1 }
     END { exit bad }' "$tmp/help" "$tmp/all-help" "$tmp/daemon-help" || failures=$((failures + 1))

[[ $failures -eq 0 ]] || exit 1
echo "OK: help and manual pages agree on $(wc -w <<< "$commands") commands and $(wc -w <<< "$limits") limits"
