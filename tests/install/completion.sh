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
# Whether the words offered for "$2..." include $1. The words are taken whole before grep reads
# them: piped into `grep -q`, which stops at the first match, the writer could die of SIGPIPE
# and, under pipefail, fail the check.
offers() {
  local word=$1 offered
  shift
  offered=$(complete_words "$@")
  grep -qx -- "$word" <<<"$offered"
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
offers --timeout qorvin --connect t://h:1 probe --t || fail "probe --timeout"
offers --success-return qorvin read "x" -- insert-table p f --s || fail "insert-table --success-return"
[ -z "$(complete_words qorvin read --su)" ] || fail "read offers --success-return"
offers datetime qorvin exec-sql x -- "" || fail "a subcommand after --"
# As bash hands the words over: a URL split at its colons is still one --connect argument.
offers datetime qorvin --connect t : //h : 1 "" || fail "a subcommand after a split --connect URL"
offers --timeout qorvin --connect h : //[::1] : 8099 probe --t || fail "probe after a split URL"
[ -z "$(complete_words qorvin --inflate-budget "")" ] || fail "--inflate-budget offers words"
# After "t:" bash replaces the piece after the colon: the offer is "//", not "t://".
[ "$(complete_words qorvin --connect t :)" = "//" ] || fail "the scheme after its colon"
echo "completion: all checks passed"
