# SPDX-License-Identifier: MIT
# bash completion for bandscope, the analyser window.

_bandscope() {
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
    --screenshot|--export-csv|--record|--replay)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return 0 ;;
    --after|--run-for|--serve) return 0 ;;
  esac
  # After "=" of an option that takes no value there is nothing to offer.
  [[ $prev == = || ${COMP_WORDS[COMP_CWORD]} == = ]] && return 0
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "--connect --record --replay --serve --screenshot --export-csv --after --run-for --stats
      --all-features --keys --help --version" -- "$cur"))
  fi
  return 0
}

complete -F _bandscope bandscope
