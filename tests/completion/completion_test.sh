#!/usr/bin/env bash
# The bash completion of the programs, asked as bash-completion asks it:
# COMP_WORDS and COMP_CWORD set, the function that `complete -p` names called,
# COMPREPLY compared with the words the programs' --help and kpxadac-info give.
#
# Usage: completion_test.sh COMPLETION_SCRIPT PROGRAM_FOLDERS PROGRAM...
#   PROGRAM_FOLDERS: the built programs' folders, colon-separated (put on PATH).
set -uo pipefail
script=$1 folders=$2
shift 2
export PATH=$folders:$PATH
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" && touch recording.sigmf-meta recording.sigmf-data && mkdir results
# Two ADC boards and a DAC board: --index offers 0 1 for adc, 0 for dac.
export KPXADAC_SIM='{"boards": [{"device": 0, "board_id": "0x8A"}, {"device": 1, "board_id": "0x86"},
                                {"device": 2, "board_id": "0x8A"}]}'
# shellcheck source=/dev/null
source "$script"
failures=0

# complete WORD...: the completion of the last word (the one being typed).
complete_words() {
  local function
  function=$(complete -p "$1" 2>/dev/null | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
  [[ -n $function ]] || { echo "(no completion for $1)"; return; }
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  "$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]:-}"
  printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//'
}

# Every program the build installs with a --help is completed.
for program in "$@"; do
  got=$(complete_words "$program" --hel)
  [[ $got == "--help" ]] || { echo "FAILED: $program --hel<TAB> gave '$got', not --help"; failures=$((failures + 1)); }
done

# words typed | offered
cases=(
  "kpxadac-capture --for|--format"
  "kpxadac-capture --format |raw sigmf"
  "kpxadac-capture --format s|sigmf"
  "kpxadac-capture --clock |fixed synth"
  "kpxadac-capture --type |adc"
  "kpxadac-capture --trigger-edge |either falling rising"
  "kpxadac-capture --index |0 1"
  "kpxadac-capture --samples |"
  "kpxadac-capture -o rec|recording.sigmf-data recording.sigmf-meta"
  "kpxadac-capture --output res|results"
  "kpxadac-generate --index |0"
  "kpxadac-scope --index |0 1"
  "kpxadac-generate --wave p|pulse"
  "kpxadac-analyze rec|recording.sigmf-data recording.sigmf-meta"
  "kpxadac-info --|--help --json"
  "kpxadac-info --json |"
)
for entry in "${cases[@]}"; do
  typed=${entry%%|*}
  expected=${entry#*|}
  read -r -a words <<<"$typed"
  [[ $typed == *" " ]] && words+=("")
  command -v "${words[0]}" >/dev/null || continue  # a program this build leaves out
  got=$(complete_words "${words[@]}")
  if [[ $got == "$expected" ]]; then
    echo "ok: '$typed' -> $got"
  else
    echo "FAILED: '$typed' offered '$got', expected '$expected'"
    failures=$((failures + 1))
  fi
done
((failures == 0)) || { echo "$failures completion case(s) failed"; exit 1; }
echo "completion: every case offered the right words"
