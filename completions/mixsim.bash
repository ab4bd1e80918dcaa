# SPDX-License-Identifier: MIT
# bash completion for mixsim, the simulated console.

_mixsim() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  COMPREPLY=()
  # An option's value, given as the next word or after "=" (which bash makes a word of its own).
  local option=$prev
  if [[ $cur == = ]]; then
    cur=
  elif [[ $prev == = ]]; then
    option=${COMP_WORDS[COMP_CWORD-2]}
  fi
  case $option in
    --definitions) COMPREPLY=($(compgen -W "short long mixed" -- "$cur")); return 0 ;;
    --bind|--port|--rate|--seed|--split|--latency|--close-after-seconds|--close-after-bytes|--queue-limit|--feedback|--feedback-growth)
      return 0 ;;
  esac
  # After "=" of an option that takes no value there is nothing to offer.
  [[ $prev == = || ${COMP_WORDS[COMP_CWORD]} == = ]] && return 0
  COMPREPLY=($(compgen -W "--bind --port --rate --animate --quiet --seed --definitions --queue-limit --feedback
    --feedback-growth --list-codes --split --latency --close-after-seconds --close-after-bytes --garbage
    --short-meters --long-meters --ignore-keepalive --help --version" -- "$cur"))
}

complete -F _mixsim mixsim
