# bash completion for velmo-cli: commands, options, the option commands' values and files.
# Installed as share/bash-completion/completions/velmo-cli (loaded on demand).

_velmo_cli() {
    local cur prev words cword
    _init_completion || return

    local commands="status list add drop delete up down quality names volume verify reload-check download reload firmware erase image inspect help"
    local global="--dir --json --jobs --help --version"
    # Every extension a song file may have (kSongExtensions), any case.
    local songs='@(mp3|wav|wave|flac|ogg|oga|opus|m4a|m4b|mp4|aac|aif|aiff|aifc|wma|asf|wv|ape|mka|webm|mp2|ac3|caf|au)'

    case $prev in
        --dir)
            _filedir -d
            return
            ;;
        --jobs)
            # As many songs at once as the machine has cores, or fewer.
            COMPREPLY=($(compgen -W "$(seq 1 "$(nproc 2>/dev/null || echo 4)")" -- "$cur"))
            return
            ;;
    esac

    # The command is the first word that is neither an option nor --dir's folder.
    local i command=""
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --dir | --jobs) ((i++)) ;;
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
        download) options+=" --yes --verify --no-verify --jobs" ;;
        image) options+=" --yes --jobs" ;;
        reload | firmware | erase) options+=" --yes" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    # "--verify=" is split at the "=": what follows it is its value.
    if [[ $command == download && $prev == "=" && ${words[cword-2]} == --verify ]]; then
        COMPREPLY=($(compgen -W "full" -- "$cur"))
        return
    fi

    case $command in
        add | drop)
            # Folders are offered too: a folder adds the songs in it.
            local nocase=$(shopt -p nocaseglob nocasematch)
            shopt -s nocaseglob nocasematch
            _filedir "$songs"
            eval "$nocase"
            ;;
        firmware)
            _filedir '@(bin|BIN)'
            # The agent program is no firmware.
            local kept=() f
            for f in "${COMPREPLY[@]}"; do
                [[ ${f##*/} == spn.bin ]] || kept+=("$f")
            done
            COMPREPLY=("${kept[@]}")
            ;;
        image | inspect)
            _filedir
            ;;
        quality)
            COMPREPLY=($(compgen -W "best good normal" -- "$cur"))
            ;;
        names)
            COMPREPLY=($(compgen -W "tags files" -- "$cur"))
            ;;
        volume)
            COMPREPLY=($(compgen -W "even as-is" -- "$cur"))
            ;;
        verify)
            COMPREPLY=($(compgen -W "on off" -- "$cur"))
            ;;
        reload-check)
            COMPREPLY=($(compgen -W "twice once" -- "$cur"))
            ;;
        help)
            COMPREPLY=($(compgen -W "${commands% help}" -- "$cur"))
            ;;
    esac
} && complete -F _velmo_cli velmo-cli
