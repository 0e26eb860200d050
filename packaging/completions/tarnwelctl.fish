# fish completion for tarnwelctl
set -l commands ping status unlock get run lock shutdown start socket-path help confirm
complete -c tarnwelctl -f
# The profiles that hold a secret, as the running agent lists them ("status"
# never starts one); a name that JSON escapes is left out.
function __tarnwelctl_profiles
    set -l json (tarnwelctl status --json 2>/dev/null); or return
    set -l list (string replace -rf '.*"cached_profiles":\["(.*)"\],"ok".*' '$1' -- $json); or return
    string split '","' -- $list | string match -rv '\\\\'
end
complete -c tarnwelctl -n "__fish_seen_subcommand_from unlock get run lock; and test (count (commandline -opc)) -eq 2" -a "(__tarnwelctl_profiles)"
complete -c tarnwelctl -n "not __fish_seen_subcommand_from $commands" -a ping -d "show the running agent"
complete -c tarnwelctl -n "not __fish_seen_subcommand_from $commands" -a status -d "show the agent and cached profiles"
complete -c tarnwelctl -n "not __fish_seen_subcommand_from $commands" -a unlock -d "hand the agent a secret"
complete -c tarnwelctl -n "not __fish_seen_subcommand_from $commands" -a get -d "print a cached secret"
complete -c tarnwelctl -n "not __fish_seen_subcommand_from $commands" -a run -d "run a command with a secret in its environment"
complete -c tarnwelctl -n "not __fish_seen_subcommand_from $commands" -a lock -d "forget one secret, or all"
complete -c tarnwelctl -n "not __fish_seen_subcommand_from $commands" -a shutdown -d "stop the agent"
complete -c tarnwelctl -n "not __fish_seen_subcommand_from $commands" -a start -d "start an agent"
complete -c tarnwelctl -n "not __fish_seen_subcommand_from $commands" -a socket-path -d "print the socket's path"
complete -c tarnwelctl -n "not __fish_seen_subcommand_from $commands" -a help -d "show the help, or a command's"
complete -c tarnwelctl -n "__fish_seen_subcommand_from help; and test (count (commandline -opc)) -eq 2" -a "$commands"
complete -c tarnwelctl -n "not __fish_seen_subcommand_from $commands" -a confirm -d "answer waiting confirmations"
complete -c tarnwelctl -l json -d "print the agent's reply as it came"
complete -c tarnwelctl -s h -l help -d "show help"
complete -c tarnwelctl -s V -l version -d "show the version"
complete -c tarnwelctl -n "__fish_seen_subcommand_from unlock" -l reason -r -d "text the confirmation shows"
complete -c tarnwelctl -n "__fish_seen_subcommand_from unlock" -l ttl -r -d "how long: 90s, 30m, 8h, 2d"
complete -c tarnwelctl -n "__fish_seen_subcommand_from unlock" -l allow-empty -d "accept an empty secret"
complete -c tarnwelctl -n "__fish_seen_subcommand_from unlock" -l no-start -d "never start an agent"
complete -c tarnwelctl -n "__fish_seen_subcommand_from run" -l env -r -d "variable that carries the secret"
complete -c tarnwelctl -n "__fish_seen_subcommand_from confirm" -l list -d "show waiting confirmations only"
