# bash completion for bandscope, the analyser window.

_bandscope() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  COMPREPLY=()
  case $prev in
    --screenshot)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return 0 ;;
    --after|--run-for) return 0 ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "--connect --screenshot --after --run-for --stats --help" -- "$cur"))
  fi
  return 0
}

complete -F _bandscope bandscope
