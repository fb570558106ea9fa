#!/usr/bin/env bash
# Completion as a user meets it: the tools and their completion installed
# into a scratch prefix, an interactive bash in tmux whose bash-completion
# finds the files there by itself, command lines typed with a Tab, and what
# the screen shows compared: the offers, in their order, or the line as the
# Tab left it. Then the same without bash-completion, the files sourced.
#
# Usage: completion_test.sh <cmake> <build dir>
set -euo pipefail

cmake=$1
build=$2
loader=/usr/share/bash-completion/bash_completion
if [[ ! -f $loader ]] || ! command -v tmux >/dev/null; then
    echo "completion_test: skipped: needs bash-completion and tmux installed"
    exit 77
fi

scratch=$(mktemp -d)
tmux=(tmux -S "$scratch/socket" -f /dev/null)
trap '"${tmux[@]}" kill-server 2>/dev/null; rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
"$cmake" --install "$build" --prefix "$prefix" --component tools >/dev/null
work=$scratch/work
mkdir -p "$work/old"
"$prefix/bin/kevo-sample" "$work/rec.kevo" 2>/dev/null
cp "$work/rec.kevo" "$work/my rec.kevo"
touch "$work/list.txt"
# A kevo-edit called by its path must ask the kevo-info beside it.
ln -s "$prefix/bin/kevo-edit" "$work/old/kevo-edit"
printf '#!/bin/sh\necho old/\n' >"$work/old/kevo-info" && chmod +x "$work/old/kevo-info"

selectors=$("$prefix/bin/kevo-info" --selectors "$work/rec.kevo")
offers() { grep -e "$1" <<<"$selectors" | tr '\n' ' ' | sed 's/ $//'; }

# The options a tool's --help lists, as readline sorts them.
help_options() {
    "$prefix/bin/$1" --help 2>&1 | grep -oE '^ +(-[0-9a-z], )?--?[-0-9a-zA-Z]+|^ +\[-[a-zA-Z]+' |
        grep -oE -- '-[-0-9a-zA-Z]+' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//'
}

failures=0
screen() { "${tmux[@]}" capture-pane -p -t "$mode" | sed '/^$/d'; }
keys() { "${tmux[@]}" send-keys -t "$mode" "$@"; }

# check LINE EXPECTED: types LINE, the cursor where ^ is, and a Tab. What the
# Tab listed, or else the line it left with @ at the cursor, must be EXPECTED.
check() {
    local line=${1/^/} after=${1#*^} expected=$2 shown result i
    keys C-e C-u C-l
    for ((i = 0; i < 200; i++)); do [[ $(screen) == '$' ]] && break; sleep 0.01; done
    keys -l "$line"
    [[ -z $after ]] || keys -N ${#after} Left
    keys Tab @ C-e '#'
    for ((i = 0; i < 500; i++)); do
        shown=$(screen) && [[ $shown == *'#' ]] && break
        sleep 0.01
    done
    if (($(wc -l <<<"$shown") > 1)); then
        result=$(sed '1d;$d' <<<"$shown" | tr -s ' \n' '  ' | sed 's/ $//')
    else
        result=${shown#\$ } result=${result%#}
    fi
    [[ $result == "$expected" ]] && return
    printf '%s: %s\n  offered: %s\n  expected: %s\n' "$mode" "$1" "$result" "$expected" >&2
    failures=$((failures + 1))
}

run_cases() {
    check 'kevo-edit --set pav2/^ rec.kevo' "$(offers '^pav2/.')"
    check 'kevo-edit rec.kevo --set ^' "$(offers '^[^/]*/\{0,1\}$')"
    check 'kevo-edit --set ^' 'kevo-edit --set @'
    check 'kevo-edit -j 2 --dry-run rec.kevo --if pav2/mi^' \
        'kevo-edit -j 2 --dry-run rec.kevo --if pav2/mic=@'
    check 'kevo-edit rec.kevo --set=pav^' 'kevo-edit rec.kevo --set=pav2/@'
    check 'kevo-edit rec.kevo --set st^' 'kevo-edit rec.kevo --set strt=@'
    check 'kevo-edit --dr^' 'kevo-edit --dry-run @'
    check 'kevo-edit --files-from l^' 'kevo-edit --files-from list.txt @'
    check 'old/kevo-edit rec.kevo --set ^' 'old/kevo-edit rec.kevo --set old/@'
    check 'kevo-info --locate rok/^ ~/work/my\ rec.kevo' "$(offers '^rok/.')"
    check "kevo-info 'my rec.kevo' --get rok/gy^" "kevo-info 'my rec.kevo' --get rok/gyro @"
    check 'kevo-modify -streamID ^' 'kevo-modify -streamID @'
    for tool in kevo-edit kevo-info kevo-sample kevo-modify; do
        check "$tool -^" "$(help_options "$tool")"
    done
}

start() {
    mode=$1
    "${tmux[@]}" new-session -d -s "$mode" -c "$work" -x 250 -y 50 env -i HOME="$scratch" TERM=screen \
        PATH="$prefix/bin:/usr/bin:/bin" XDG_DATA_DIRS="$prefix/share" INPUTRC=/dev/null \
        bash --rcfile "$scratch/$mode.rc" -i
}

cat >"$scratch/bash-completion.rc" <<EOF
PS1='\$ '
bind 'set show-all-if-ambiguous on'
bind 'set completion-query-items 0'
bind 'set print-completions-horizontally on'
. $loader
EOF
start bash-completion
run_cases
check 'kevo-edit -j 2 ^' 'my rec.kevo old/ rec.kevo'

sed "/bash_completion/d" "$scratch/bash-completion.rc" >"$scratch/plain.rc"
printf '. %q\n' "$prefix"/share/bash-completion/completions/* >>"$scratch/plain.rc"
start plain
run_cases

echo "completion_test: $failures failed"
((failures == 0))
