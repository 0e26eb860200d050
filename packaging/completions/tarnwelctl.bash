# bash completion for tarnwelctl
_tarnwelctl() {
  local cur prev cmd i
  local commands="ping status unlock get run lock shutdown start socket-path confirm help"
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      --) [[ $cmd == run ]] && { COMPREPLY=($(compgen -c -- "$cur")); return; } ;;
      -*) ;;
      *) cmd=${cmd:-${COMP_WORDS[i]}} ;;
    esac
  done
  case $prev in
    --reason|--ttl|--env) return ;;
  esac
  if [[ -z $cmd ]]; then
    COMPREPLY=($(compgen -W "$commands --json --help --version" -- "$cur"))
    return
  fi
  case $cmd in
    unlock) COMPREPLY=($(compgen -W "--reason --ttl --allow-empty --no-start --json --help" -- "$cur")) ;;
    run) COMPREPLY=($(compgen -W "--env --" -- "$cur")) ;;
    help) [[ $prev == help ]] && COMPREPLY=($(compgen -W "$commands" -- "$cur")) ;;
    *) COMPREPLY=($(compgen -W "--json --help" -- "$cur")) ;;
  esac
}
complete -F _tarnwelctl tarnwelctl
