#!/bin/bash
# The programs' help, their manual pages and the README tell the same. What the programs print
# is the reference: every command with its parameters and its example, every option (long and
# short), every limit with its default and every exit code must be in the manual pages, and
# nothing may be documented there or in the README that the programs no longer have. The
# completion knows every command, and no line of help is wider than 79 columns.
# Usage: help_matches_manuals_test.sh SVCREG SVCREGD PACKAGING_DIR [README]
set -u
svcreg=$1 svcregd=$2 packaging=$3 readme=${4:-$3/../README.md}
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
# The short options a text names (-v, or -v, --verbose), one a line; not -vv, nor a dash within
# a word.
short_options() {
    grep -oE -- '(^|[][ ,(|])-[a-zA-Z]([^a-zA-Z0-9_-]|$)' | grep -oE -- '-[a-zA-Z]' | sort -u
}
# Sizes and times as the help gives them: "32 MiB" is 33554432, "1,024" 1024, "30 s" 30.
numbers() {
    sed -E 's/([0-9]),([0-9]{3})/\1\2/g' |
        grep -oE '[0-9]+( (KiB|MiB|GiB|s)([^a-zA-Z]|$))?' |
        awk '{ n = $1; if ($2 ~ /^KiB/) n *= 1024; if ($2 ~ /^MiB/) n *= 1048576;
               if ($2 ~ /^GiB/) n *= 1073741824; printf "%d\n", n }'
}
# Two lists, one item a line, the same both ways.
compare() {
    local what=$1 from_help=$2 from_document=$3 document=${4:-manual page}
    diff <(echo "$from_help") <(echo "$from_document") > "$tmp/diff" ||
        fail "$what differ between help (<) and $document (>): $(cat "$tmp/diff")"
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

# Options, long and short, and exit codes, both ways; options named anywhere in a page exist.
"$svcregd" --help > "$tmp/daemon-help" || fail "svcregd --help exits $?"
sed -n '/^Options:/,/^$/p' "$tmp/help" > "$tmp/client-options"
sed -n '/^Options:/,/^$/p' "$tmp/daemon-help" > "$tmp/daemon-options"
for program in svcreg svcregd; do
    options=$tmp/client-options page=svcreg.1
    [[ $program == svcregd ]] && options=$tmp/daemon-options page=svcregd.8
    long=$(long_options < "$options") short=$(short_options < "$options")
    [[ $(wc -w <<< "$long") -ge 5 ]] || fail "$program --help lists only these options: $long"
    { echo "$long"; echo "$short"; } > "$tmp/$program-all-options"
    compare "$program's long options" "$long" "$(section "$packaging/$page" OPTIONS | long_options)"
    compare "$program's short options" "$short" \
        "$(section "$packaging/$page" OPTIONS | short_options)"
    long_options < "$tmp/$page" | grep -vxF -f "$tmp/$program-all-options" > "$tmp/unknown"
    [[ -s $tmp/unknown ]] &&
        fail "$page names options $program does not have: $(cat "$tmp/unknown")"
done
client_codes=$(sed -n '/^Exit codes:/,/^$/p' "$tmp/help" | grep -oE '^  [0-9]+' | tr -d ' ')
[[ $(wc -w <<< "$client_codes") -ge 3 ]] || fail "svcreg --help lists only exit codes $client_codes"
compare "svcreg's exit codes" "$client_codes" \
    "$(section "$packaging/svcreg.1" 'EXIT STATUS' | grep -oE '^[0-9]+$')"

# Limits: "name default" a line, in the order the help lists them.
sed -n '/^Limits/,/^$/p' "$tmp/daemon-help" | tail -n +2 | grep -oE '[a-z][a-z-]* [0-9]+' \
    > "$tmp/limits"
limits=$(cut -d' ' -f1 "$tmp/limits")
[[ $(wc -w <<< "$limits") -ge 10 ]] || fail "svcregd --help lists only these limits: $limits"
# The manual page's: each .TP item's names, then every number its text gives.
sed -n '/^\.SH LIMITS$/,/^\.SH /p' "$packaging/svcregd.8" | sed 's/^\.TP$/@TP/' > "$tmp/section"
plain "$tmp/section" | awk '/^@TP$/ { item++; getline; names[item] = $0; next }
                            item { text[item] = text[item] " " $0 }
                            END { for (i = 1; i <= item; i++) print names[i] "\t" text[i] }' |
    while IFS=$'\t' read -r names text; do
        given=$(numbers <<< "$text" | tr '\n' ' ')
        for name in $(tr -s ', ' '  ' <<< "$names"); do echo "$name $given"; done
    done > "$tmp/manual-limits"
compare "svcregd's limits" "$(sort <<< "$limits")" "$(cut -d' ' -f1 "$tmp/manual-limits" | sort)" \
    "svcregd.8 LIMITS"
while read -r name default; do
    grep -qE -- "^$name .*\\b$default\\b" "$tmp/manual-limits" ||
        fail "svcregd.8 does not give $name's default $default"
done < "$tmp/limits"

# The README: its table of limits, with their defaults, and its table of svcreg's exit codes,
# both ways; every option it gives svcreg or svcregd, and every limit it sets, exist.
[[ -f $readme ]] || fail "no README at $readme"
awk '/^### How much each may hold/ { in_section = 1; next } /^#/ { in_section = 0 }
     in_section && /^\| `/' "$readme" | awk -F'|' '{ print $2 "\t" $3 }' |
    while IFS=$'\t' read -r names defaults; do
        names=$(tr -d '` ' <<< "$names" | tr '/' ' ') defaults=$(tr '/' '\n' <<< "$defaults")
        for name in $names; do
            echo "$name $(head -n 1 <<< "$defaults" | numbers | head -n 1)"
            defaults=$(tail -n +2 <<< "$defaults")
        done
    done > "$tmp/readme-limits"
compare "svcregd's limits and defaults" "$(sort "$tmp/limits")" "$(sort "$tmp/readme-limits")" \
    "README's table of limits"
compare "svcreg's exit codes" "$client_codes" \
    "$(awk '/^### Exit codes of svcreg/ { s = 1; next } /^#/ { s = 0 } s' "$readme" |
        grep -oE '^\| *[0-9]+ *\|' | tr -d '| ')" "README"
# What the README says of the programs: its code spans, and the lines of its code blocks. An
# option counts when it follows svcreg or svcregd as a command (up to a pipe, ';', '&' or a
# comment), or stands alone in a span; either program may have one that stands alone.
awk '/^```/ { block = !block; next }
     block { print; next }
     { while (match($0, /`[^`]+`/)) { print substr($0, RSTART + 1, RLENGTH - 2)
                                      $0 = substr($0, RSTART + RLENGTH) } }' "$readme" |
    awk '{ program = ""
           if ($0 ~ /^(--[a-z][a-z-]*(=[^ ]*)?( [^ ]+)?|-[a-zA-Z]+)$/) program = "either"
           for (i = 1; i <= NF; i++) {
               if ($i ~ /^([^ ]*\/)?svcregd?$/ && (i == 1 || $(i-1) ~ /^(--|\||&&|;|\$)$/)) {
                   program = $i; sub(/.*\//, "", program); continue
               }
               if ($i ~ /^(\||;|&&|&|#.*)$/) { program = ""; continue }
               if (program == "" || $i !~ /^--?[a-zA-Z]/) continue
               option = $i; sub(/=.*/, "", option)
               if (option ~ /^-[a-zA-Z]+$/) option = substr(option, 1, 2)
               print program, option
               if (option == "--limit") {
                   value = $i ~ /=.*=/ ? $i : $(i+1); sub(/^--limit=/, "", value)
                   sub(/=.*/, "", value); if (value != "NAME") print "limit", value
               }
           }
         }' | sort -u > "$tmp/readme-options"
[[ $(wc -l < "$tmp/readme-options") -ge 10 ]] ||
    fail "the README names only these options: $(cat "$tmp/readme-options")"
cat "$tmp/svcreg-all-options" "$tmp/svcregd-all-options" > "$tmp/either-all-options"
while read -r program option; do
    case $program in
        limit) grep -qx -- "$option" <<< "$limits" ||
            fail "README sets a limit svcregd lacks: $option" ;;
        *) grep -qxF -- "$option" "$tmp/$program-all-options" ||
            fail "README gives $program an option it lacks: $option" ;;
    esac
done < "$tmp/readme-options"

awk 'length > 79 { print "FAIL: help line wider than 79 columns: " $0; bad = 1 }
     END { exit bad }' "$tmp/help" "$tmp/all-help" "$tmp/daemon-help" || failures=$((failures + 1))

[[ $failures -eq 0 ]] || exit 1
echo "OK: help, manual pages and README agree on $(wc -w <<< "$commands") commands," \
    "$(wc -l < "$tmp/svcreg-all-options") + $(wc -l < "$tmp/svcregd-all-options") options," \
    "$(wc -w <<< "$limits") limits and $(wc -w <<< "$client_codes") exit codes;" \
    "the README's $(wc -l < "$tmp/readme-options") mentions of options and limits exist"
