# bash completion for the KPX-ADAC SDK's programs (cmake/Manuals.cmake installs
# it once per program into share/bash-completion/completions).
#
# Nothing of the options is kept here: they are read from the program's own
# --help when completing (once per program and shell), as the program prints
# them: "--format raw|sigmf" offers raw and sigmf, "--type adc" adc, an
# argument FILE, PATH or DIR a file name, "--trigger-edge EDGE" with a
# description "rising, falling or either ..." those words. --index offers the
# indexes of the boards there are, of the type --type chose (or the one
# type the program takes), from
# kpxadac-info --json (beside the program, else on PATH).

declare -gA _kpxadac_help_cache 2>/dev/null || true

# _kpxadac_help PROGRAM: the program's --help, cached.
_kpxadac_help() {
  local program=$1
  if [[ -z ${_kpxadac_help_cache[$program]+set} ]]; then
    _kpxadac_help_cache[$program]=$(timeout 5 "$program" --help 2>/dev/null </dev/null)
  fi
  printf '%s\n' "${_kpxadac_help_cache[$program]}"
}

# _kpxadac_option_lines HELP: "OPTION ARGUMENT DESCRIPTION" per option (ARGUMENT
# "-" for a flag), both spellings of "-o,--output" on lines of their own.
_kpxadac_option_lines() {
  local line names argument description name
  local pattern='^[[:space:]]+((-[[:alnum:]],)?--[[:alnum:]][[:alnum:]-]*)( ([^[:space:]]+))?([[:space:]]{2,}(.*))?$'
  while IFS= read -r line; do
    [[ $line =~ $pattern ]] || continue
    names=${BASH_REMATCH[1]}
    argument=${BASH_REMATCH[4]:--}
    description=${BASH_REMATCH[6]}
    for name in ${names//,/ }; do
      printf '%s %s %s\n' "$name" "$argument" "$description"
    done
  done <<<"$1"
}

# _kpxadac_boards PROGRAM TYPE: the indexes of the boards of TYPE (ADC, DAC or
# empty for every type) that kpxadac-info lists.
_kpxadac_boards() {
  local program=$1 type=$2 info folder json line board_type="" index
  folder=$(dirname -- "$(type -P -- "$program" 2>/dev/null || echo "$program")")
  info=$folder/kpxadac-info
  [[ -x $info ]] || info=$(type -P kpxadac-info 2>/dev/null) || return 0
  json=$(timeout 5 "$info" --json 2>/dev/null </dev/null) || return 0
  # One board object after another: its "index" and "type" keys, in either order.
  index=""
  while IFS= read -r line; do
    if [[ $line =~ \"index\":\ *([0-9]+) ]]; then index=${BASH_REMATCH[1]}; fi
    if [[ $line =~ \"type\":\ *\"([A-Z]+)\" ]]; then board_type=${BASH_REMATCH[1]}; fi
    if [[ $line =~ ^\ *\}(,)?$ && -n $index && -n $board_type ]]; then
      if [[ -z $type || ${type^^} == "$board_type" ]]; then echo "$index"; fi
      index="" board_type=""
    fi
  done <<<"$json"
}

_kpxadac_complete() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=""
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  local program=${COMP_WORDS[0]}
  local help options
  COMPREPLY=()
  help=$(_kpxadac_help "$program")
  [[ -n $help ]] || return 0
  options=$(_kpxadac_option_lines "$help")

  local name argument description words=""
  if [[ $prev == -* ]]; then
    while read -r name argument description; do
      [[ $name == "$prev" ]] || continue
      [[ $argument == - ]] && break  # a flag: what follows is not its value
      if [[ $prev == --index ]]; then
        # The type --type gave, else the only one the program takes ("--type adc",
        # or --index's "among the ADC boards").
        local type="" i
        type=$(sed -n 's/^--type \([a-z]*\) .*/\1/p' <<<"$options")
        [[ -n $type || ! $description =~ among\ the\ ([A-Z]+)\ boards ]] || type=${BASH_REMATCH[1]}
        for ((i = 1; i < COMP_CWORD; i++)); do
          [[ ${COMP_WORDS[i]} == --type ]] && type=${COMP_WORDS[i + 1]}
        done
        words=$(_kpxadac_boards "$program" "$type")
      elif [[ $argument == *'|'* ]]; then
        words=${argument//|/ }
      elif [[ $argument =~ ^[a-z][a-z0-9-]*$ ]]; then
        words=$argument
      elif [[ $argument =~ ^(FILE|PATH|DIR)$ ]]; then
        local IFS=$'\n'
        if [[ $argument == DIR ]]; then
          COMPREPLY=($(compgen -d -- "$cur"))
        else
          COMPREPLY=($(compgen -f -- "$cur"))
        fi
        return 0
      elif [[ $description =~ ^([a-z][a-z-]*),\ ([a-z][a-z-]*,\ )*([a-z][a-z-]*)\ or\ ([a-z][a-z-]*)([^[:alnum:]]|$) ]]; then
        words=$(sed -E 's/^(([a-z-]+, )*[a-z-]+ or [a-z-]+).*/\1/; s/,|\bor\b//g' <<<"$description")
      fi
      COMPREPLY=($(compgen -W "$words" -- "$cur"))
      return 0
    done <<<"$options"
  fi
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$(cut -d' ' -f1 <<<"$options")" -- "$cur"))
  elif [[ $help == *$'\nPositionals:'* ]]; then
    local IFS=$'\n'
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
  return 0
}

complete -F _kpxadac_complete @KPXADAC_COMPLETED_PROGRAMS@
