# SPDX-License-Identifier: MIT
# bash completion for Tessor and varnex: the options come from the program's
# own --help, the subnets after --sweep and --history from its history.

# The subnets in the history of the program $1, one A.B.C a line: the first
# column of `$1 --history --format csv` after its header. The program reads
# the history (history.db) in its profile folder and says nothing when there
# is none.
_varnex_subnets() {
    local exe line
    exe=$(type -P -- "$1") || return
    while IFS=, read -r line _; do
        [[ $line == subnet ]] || printf '%s\n' "$line"
    done < <("$exe" --history --format csv 2>/dev/null | tr -d '\r')
}

_varnex() {
    local cur prev words cword split
    _init_completion -s || return
    case $prev in
        --sweep | --history)
            COMPREPLY=($(compgen -W "$(_varnex_subnets "$1")" -- "$cur"))
            return
            ;;
        --format)
            COMPREPLY=($(compgen -W 'text csv json' -- "$cur"))
            return
            ;;
        --fail-on)
            local kinds=${cur%"${cur##*,}"}
            COMPREPLY=($(compgen -P "$kinds" -W 'new moved mac up down' -- "${cur##*,}"))
            return
            ;;
        --rounds | --keep-days | --timeout | -h | --help | --version)
            return
            ;;
    esac
    $split && return
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '$(_parse_help "$1")' -- "$cur"))
    fi
}
complete -F _varnex Tessor varnex
