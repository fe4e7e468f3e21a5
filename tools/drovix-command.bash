# Completion of drovix-command for bash: its words, its options, and send's known kinds.
_drovix_command()
{
    local current=${COMP_WORDS[COMP_CWORD]} previous=${COMP_WORDS[COMP_CWORD-1]}
    case $previous in
        # Their values are the user's own: nothing to offer.
        --nonce | --issued-at | --age | --container) return ;;
        # The kinds DrovixRescue answers; Drovix's own are Drovix's to know.
        send) mapfile -t COMPREPLY < <(compgen -W "start restart" -- "$current"); return ;;
    esac
    local options="--nonce --issued-at --age --container --help --version"
    if [[ $current == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$current")
        return
    fi
    # One word per command line, after any options and their values.
    local index word
    for ((index = 1; index < COMP_CWORD; index++)); do
        word=${COMP_WORDS[index]}
        case $word in
            --nonce | --issued-at | --age | --container) ((index++)) ;;
            -*) ;;
            *) return ;;
        esac
    done
    mapfile -t COMPREPLY < <(compgen -W "start restart send status sign-in help" -- "$current")
}
complete -F _drovix_command drovix-command
