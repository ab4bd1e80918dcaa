# SPDX-License-Identifier: MIT
# bash completion for mixlink, the command-line tool.
# Node paths come from the tool's own dictionary (`mixlink nodes PREFIX`), one level at a time:
# "ch.1.e<TAB>" offers "ch.1.eq." and the like, and a container's name ends in a dot so that the
# next TAB goes on into it. Letter case is ignored, as the tool ignores it.

# Puts into COMPREPLY the next level of the node paths that start with $1 (quoted or not):
# containers with a dot after them, leaves bare, and a container bare too when $1 names it.
_mixlink_node_paths() {
  local cur=$1 quote=
  if [[ $cur == [\'\"]* ]]; then
    quote=${cur:0:1}
    cur=${cur:1}
  else
    cur=${cur//\\/}
  fi
  # Ask for the subtree of the container above the last dot: the whole dictionary at the top.
  local parent=
  [[ $cur == *.* ]] && parent=${cur%.*}
  local IFS=$'\n' c
  for c in $(LC_ALL=C "${_mixlink_tool:-mixlink}" nodes ${parent:+"$parent"} 2>/dev/null |
             awk -F '\t' -v cur="$cur" '
    BEGIN { depth = gsub(/\./, ".", cur) + 1; lcur = tolower(cur) }
    tolower(substr($4, 1, length(cur))) == lcur {
      n = split($4, part, ".")
      if (n < depth) next
      c = part[1]
      for (i = 2; i <= depth; ++i) c = c "." part[i]
      if (n > depth) c = c "."
      else if ($3 == "node" && tolower($4) != lcur) next
      if (!(c in seen)) { seen[c] = 1; print c }
    }'); do
    if [[ -n $quote ]]; then
      COMPREPLY+=("$c")
    else
      printf -v c '%q' "$c"
      COMPREPLY+=("$c")
    fi
  done
  # A container's name ends in a dot: no space after it, so the next TAB goes on below it.
  if [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *. ]]; then
    compopt -o nospace 2>/dev/null
  fi
  return 0
}

_mixlink() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local commands="discover get dump def raw events meters serve nodes"
  COMPREPLY=()

  # The tool whose dictionary to ask: the one being completed, when it is a path.
  local _mixlink_tool=${COMP_WORDS[0]}
  [[ $_mixlink_tool == */* && -x $_mixlink_tool ]] || _mixlink_tool=mixlink

  # An option's value, given as the next word or after "=" (which bash makes a word of its own).
  local option=
  if [[ $cur == = ]]; then
    option=$prev cur=
  elif [[ $prev == = ]]; then
    option=${COMP_WORDS[COMP_CWORD-2]}
  elif [[ $prev == -* ]]; then
    option=$prev
  fi
  case $option in
    --record|--replay)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return 0 ;;
    -a|--address|--timeout|--count|--port) return 0 ;;
  esac
  # After "=" of an option that takes no value there is nothing to offer.
  [[ $prev == = || ${COMP_WORDS[COMP_CWORD]} == = ]] && return 0

  # The command, and how many arguments it already has before the word being completed.
  local i command= given=0
  for ((i = 1; i < COMP_CWORD; ++i)); do
    if [[ ${COMP_WORDS[i+1]} == = ]]; then
      ((i += 2))
      continue
    fi
    case ${COMP_WORDS[i]} in
      -a|--address|--timeout|--count|--port|--record|--replay) ((++i)) ;;
      -*) ;;
      *) if [[ -z $command ]]; then command=${COMP_WORDS[i]}; else ((++given)); fi ;;
    esac
  done

  if [[ -z $command ]]; then
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W "-a --address --timeout -h --help --version" -- "$cur"))
    else
      COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    fi
    return 0
  fi

  # A command's own options; -a and --timeout may follow the command too.
  local options="-a --address --timeout"
  case $command in
    dump) options+=" --records --json" ;;
    events) options+=" --count" ;;
    meters) options+=" --rta --count --port --record --replay --csv" ;;
    serve) options+=" --listen --token --port" ;;
    nodes) options= ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options --help" -- "$cur"))
    return 0
  fi
  case $command in
    get) _mixlink_node_paths "$cur" ;;
    dump|def|raw|nodes) ((given == 0)) && _mixlink_node_paths "$cur" ;;
  esac
  return 0
}

complete -F _mixlink mixlink
