# bash completion for qorvin: subcommands, global options and their values.
# Installed as share/bash-completion/completions/qorvin (loaded on demand by bash-completion).

_qorvin() {
  # Bash splits a word at ':' (COMP_WORDBREAKS): "t://h:1" arrives as t, :, //h, :, 1. The
  # pieces are joined again, so that a --connect URL is one word like any other.
  local words=() cword=0 j w
  for ((j = 0; j < ${#COMP_WORDS[@]}; j++)); do
    w=${COMP_WORDS[j]}
    if [ ${#words[@]} -gt 0 ] && { [[ $w == :* ]] || [[ ${words[-1]} == *: ]]; }; then
      words[-1]+=$w
    else
      words+=("$w")
    fi
    [ "$j" -eq "$COMP_CWORD" ] && cword=$((${#words[@]} - 1))
  done
  local cur prev
  cur=${words[cword]}
  prev=""
  [ "$cword" -gt 0 ] && prev=${words[cword - 1]}

  local subcommands="exec-sql exec-proc exec-proc-output read read-dataset read-two
    exec-proc-read-two batch-build insert-table insert-table-dataset exec-sql-insert datetime
    probe"
  local options="--connect --servers --user --hdh --format --inflate-budget --connect-timeout
    --call-timeout --http-user --password-file --cacert --null --tuples-only --keep --keep-going --library
    --file --expanded --delimiter --help --version"

  case $prev in
    --format)
      COMPREPLY=($(compgen -W "table csv json" -- "$cur"))
      return
      ;;
    --library | --password-file | --cacert | --file | -f)
      COMPREPLY=($(compgen -f -- "$cur"))
      return
      ;;
    --servers)
      COMPREPLY=($(compgen -W "fail-over balance" -- "$cur"))
      return
      ;;
    --connect)
      COMPREPLY=($(compgen -W "h:// t:// b:// u://" -- "$cur"))
      _qorvin_after_colon
      compopt -o nospace 2>/dev/null
      return
      ;;
    --user | --hdh | --timeout | --success-return | --inflate-budget | --connect-timeout | \
      --call-timeout | --null | --http-user | --delimiter)
      return
      ;;
  esac

  # The subcommand this word belongs to: the last one since the start or a lone "--".
  local i command=""
  for ((i = 1; i < cword; i++)); do
    local w=${words[i]}
    case $w in
      --) command="" ;;
      --connect | --servers | --user | --hdh | --format | --inflate-budget | --connect-timeout | \
        --call-timeout | --null | --http-user | --password-file | --cacert | --library | --timeout | \
        --success-return | --file | -f | --delimiter) ((i++)) ;;
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
      _qorvin_after_colon
      compopt -o nospace 2>/dev/null
      ;;
  esac
}
# Bash replaces only the piece after the last ':' of the word being typed: the offered words lose
# what comes before it.
_qorvin_after_colon() {
  [[ $cur == *:* && $COMP_WORDBREAKS == *:* ]] || return 0
  local prefix=${cur%"${cur##*:}"} i
  for i in "${!COMPREPLY[@]}"; do COMPREPLY[i]=${COMPREPLY[i]#"$prefix"}; done
}
complete -F _qorvin qorvin
