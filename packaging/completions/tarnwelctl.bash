# bash completion for tarnwelctl
# The profiles that hold a secret, as the running agent lists them ("status"
# never starts one). A name that JSON escapes (a quote, a backslash, a
# control character) is left out.
_tarnwelctl_profiles() {
  local json
  json=$(tarnwelctl status --json 2>/dev/null) || return
  json=${json#*\"cached_profiles\":[\"}
  json=${json%%\"],\"ok\"*}
  [[ $json == *cached_profiles* || -z $json ]] && return
  printf '%s\n' "${json//\",\"/$'\n'}" | grep -v '\\'
}
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
  if [[ $prev == "$cmd" && $cur != -* ]]; then
    case $cmd in
      unlock|get|run|lock)
        local IFS=$'\n'
        COMPREPLY=($(compgen -W "$(_tarnwelctl_profiles)" -- "$cur"))
        return ;;
    esac
  fi
  case $cmd in
    unlock) COMPREPLY=($(compgen -W "--reason --ttl --allow-empty --no-start --json --help" -- "$cur")) ;;
    run) COMPREPLY=($(compgen -W "--env --" -- "$cur")) ;;
    confirm) COMPREPLY=($(compgen -W "--list --help" -- "$cur")) ;;
    help) [[ $prev == help ]] && COMPREPLY=($(compgen -W "$commands" -- "$cur")) ;;
    *) COMPREPLY=($(compgen -W "--json --help" -- "$cur")) ;;
  esac
}
complete -F _tarnwelctl tarnwelctl
