# bash completion for velmo-cli: commands, options, quality names and files.
# Installed as share/bash-completion/completions/velmo-cli (loaded on demand).

_velmo_cli() {
    local cur prev words cword
    _init_completion || return

    local commands="status list add drop delete up down quality download reload firmware image inspect help"
    local global="--dir --json --help --version"

    case $prev in
        --dir)
            _filedir -d
            return
            ;;
    esac

    # The command is the first word that is neither an option nor --dir's folder.
    local i command=""
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --dir) ((i++)) ;;
            -*) ;;
            *)
                command=${words[i]}
                break
                ;;
        esac
    done

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$global" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi

    local options="--dir --json --help"
    case $command in
        download) options+=" --yes --verify" ;;
        reload | firmware | image) options+=" --yes" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    case $command in
        add | drop)
            _filedir '@(mp3|MP3|wav|WAV)'
            ;;
        firmware)
            _filedir '@(bin|BIN)'
            ;;
        image | inspect)
            _filedir
            ;;
        quality)
            COMPREPLY=($(compgen -W "best good normal" -- "$cur"))
            ;;
        help)
            COMPREPLY=($(compgen -W "${commands% help}" -- "$cur"))
            ;;
    esac
} && complete -F _velmo_cli velmo-cli
