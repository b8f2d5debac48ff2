#!/usr/bin/env bash
# The bash completion of qorvin offers every subcommand and global option that `qorvin --help`
# names, the values of --format, and the probe's and uploads' own options.
#
#   completion.sh QORVIN_PROGRAM COMPLETION_SCRIPT
set -euo pipefail
program=$1
# shellcheck source=/dev/null
source "$2"
compopt() { :; }  # outside a completion, compopt has nothing to change

complete_words() {  # the words offered for the command line "$@" (the last word being typed)
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _qorvin
  printf '%s\n' "${COMPREPLY[@]}"
}
fail() {
  echo "completion: FAILED: $*" >&2
  exit 1
}

help=$("$program" --help)
subcommands=$(complete_words qorvin "")
options=$(complete_words qorvin --)
# Subcommands: the lines of the help's Subcommands part indented by two blanks.
for name in $(sed -n '/^Subcommands:/,/^$/p' <<<"$help" | sed -n 's/^  \([a-z-]*\).*/\1/p'); do
  grep -qx "$name" <<<"$subcommands" || fail "subcommand $name is not offered"
done
for name in $(sed -n '/^Options:/,/^$/p' <<<"$help" | grep -o '^  --[a-z-]*'); do
  grep -qx -- "$name" <<<"$options" || fail "option $name is not offered"
done
[ "$(complete_words qorvin --format j)" = json ] || fail "--format values"
complete_words qorvin --connect t://h:1 probe --t | grep -qx -- --timeout || fail "probe --timeout"
complete_words qorvin read "x" -- insert-table p f --s | grep -qx -- --success-return ||
  fail "insert-table --success-return"
[ -z "$(complete_words qorvin read --su)" ] || fail "read offers --success-return"
complete_words qorvin exec-sql x -- "" | grep -qx datetime || fail "a subcommand after --"
echo "completion: all checks passed"
