# bash completion for bandscope, the analyser window.

_bandscope() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  COMPREPLY=()
  case $prev in
    --screenshot|--export-csv|--record|--replay)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return 0 ;;
    --after|--run-for) return 0 ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "--connect --record --replay --screenshot --export-csv --after --run-for --stats --all-features --help" -- "$cur"))
  fi
  return 0
}

complete -F _bandscope bandscope
