# bash completion for qorvin: subcommands, global options and their values.
# Installed as share/bash-completion/completions/qorvin (loaded on demand by bash-completion).

_qorvin() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=""
  [ "$COMP_CWORD" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD - 1]}

  local subcommands="exec-sql exec-proc exec-proc-output read read-dataset read-two
    exec-proc-read-two batch-build insert-table insert-table-dataset exec-sql-insert datetime
    probe"
  local options="--connect --servers --user --hdh --format --inflate-budget --connect-timeout
    --call-timeout --null --tuples-only --keep --keep-going --library --help --version"

  case $prev in
    --format)
      COMPREPLY=($(compgen -W "table csv json" -- "$cur"))
      return
      ;;
    --library)
      COMPREPLY=($(compgen -f -- "$cur"))
      return
      ;;
    --servers)
      COMPREPLY=($(compgen -W "fail-over balance" -- "$cur"))
      return
      ;;
    --connect)
      COMPREPLY=($(compgen -W "h:// t:// b:// u://" -- "$cur"))
      compopt -o nospace 2>/dev/null
      return
      ;;
    --user | --hdh | --timeout | --success-return | --inflate-budget | --connect-timeout | \
      --call-timeout | --null)
      return
      ;;
  esac

  # The subcommand this word belongs to: the last one since the start or a lone "--".
  local i command=""
  for ((i = 1; i < COMP_CWORD; i++)); do
    local w=${COMP_WORDS[i]}
    case $w in
      --) command="" ;;
      --connect | --servers | --user | --hdh | --format | --inflate-budget | --connect-timeout | \
        --call-timeout | --null | --library | --timeout | --success-return) ((i++)) ;;
      -*) ;;
      *) [ -z "$command" ] && command=$w ;;
    esac
  done

  if [[ $cur == -* ]]; then
    local extra=""
    case $command in
      insert-table | insert-table-dataset) extra="--success-return" ;;
      probe) extra="--timeout" ;;
    esac
    COMPREPLY=($(compgen -W "$options $extra" -- "$cur"))
    return
  fi
  if [ -z "$command" ]; then
    COMPREPLY=($(compgen -W "$subcommands" -- "$cur"))
    return
  fi
  case $command in
    insert-table | insert-table-dataset | exec-sql-insert)
      COMPREPLY=($(compgen -f -- "$cur"))
      ;;
    probe)
      COMPREPLY=($(compgen -W "h:// t:// b:// u://" -- "$cur"))
      compopt -o nospace 2>/dev/null
      ;;
  esac
}
complete -F _qorvin qorvin
