# bash completion for tallowmere-dat: subcommands, their options, the type bytes of the archive
# named on the line for --type, and files for the rest.
_tallowmere_dat() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  local subcommands="info ls cat extract sound-table environ check explain map diff mount"
  if ((COMP_CWORD == 1)); then
    mapfile -t COMPREPLY < <(compgen -W "$subcommands --help --version" -- "$cur")
    return
  fi
  local options="--help"
  case ${COMP_WORDS[1]} in
    info | environ | explain) options+=" --json" ;;
    check) options+=" --type --json" ;;
    ls) options+=" --type -l --long -h --human-readable -S -r --reverse --decompressed --json --json-lines" ;;
    cat) options+=" --type -f --force" ;;
    extract) options+=" --type -C --directory -d -k --keep-existing -q --quiet" ;;
    sound-table) options+=" --type --json --json-lines" ;;
    map) options+=" -o --output --layout-only" ;;
    diff) options+=" --type --stat --metadata-only --sound-tables --json --json-lines" ;;
    mount) options+=" -f --foreground --raw --salvage -o" ;;
  esac
  case $prev in
    --type)
      # The type bytes of the archive on the line, as `info` counts them.
      local word archive=""
      for word in "${COMP_WORDS[@]:2}"; do
        [[ -f $word ]] && archive=$word && break
      done
      if [[ -n $archive ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$("${COMP_WORDS[0]}" info "$archive" 2>/dev/null |
          awk '/^0x[0-9A-F][0-9A-F] / { print $1 }')" -- "$cur")
      fi
      return
      ;;
    -C | --directory | -d)
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return
      ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}
complete -o filenames -F _tallowmere_dat tallowmere-dat
