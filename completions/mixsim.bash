# bash completion for mixsim, the simulated console.

_mixsim() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  COMPREPLY=()
  case $prev in
    --definitions) COMPREPLY=($(compgen -W "short long mixed" -- "$cur")); return 0 ;;
    --bind|--port|--rate|--seed|--split|--latency|--close-after-seconds|--close-after-bytes|--feedback|--feedback-growth)
      return 0 ;;
  esac
  COMPREPLY=($(compgen -W "--bind --port --rate --animate --quiet --seed --definitions --feedback --feedback-growth
    --list-codes --split --latency --close-after-seconds --close-after-bytes --garbage
    --short-meters --long-meters --ignore-keepalive --help" -- "$cur"))
}

complete -F _mixsim mixsim
