# bash completion for Tessor and varnex: the options come from the program's
# own --help, the subnets after --sweep from the sweeps it has kept.

# The subnets with a kept sweep, one A.B.C a line, for the program $1. They are
# the files sweeps/A.B.C.csv in its profile folder: its own folder while that
# is writable and not an installed copy, else $XDG_CONFIG_HOME/varnex.
_varnex_subnets() {
    local exe dir config f
    exe=$(type -P -- "$1") && exe=$(readlink -f -- "$exe") || return
    dir=${exe%/*}
    if [[ -x $dir/../libexec/varnex/Morvel && ! -x $dir/Morvel ]] || [[ ! -w $dir || ! -x $dir ]]; then
        config=${XDG_CONFIG_HOME:-}
        [[ $config == /* ]] || config=$HOME/.config
        dir=$config/varnex
    fi
    for f in "$dir"/sweeps/*.csv; do
        [[ -f $f ]] || continue
        f=${f##*/}
        printf '%s\n' "${f%.csv}"
    done
}

_varnex() {
    local cur prev words cword split
    _init_completion -s || return
    case $prev in
        --sweep)
            COMPREPLY=($(compgen -W "$(_varnex_subnets "$1")" -- "$cur"))
            return
            ;;
        --format)
            COMPREPLY=($(compgen -W 'text csv json' -- "$cur"))
            return
            ;;
        --rounds | --timeout | -h | --help | --version)
            return
            ;;
    esac
    $split && return
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '$(_parse_help "$1")' -- "$cur"))
    fi
}
complete -F _varnex Tessor varnex
