# bash completion for tallowmere-dat: subcommands, their options, and files for the arguments.
_tallowmere_dat() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local subcommands="info ls cat extract sound-table environ check explain map mount"
  if ((COMP_CWORD == 1)); then
    mapfile -t COMPREPLY < <(compgen -W "$subcommands --help --version" -- "$cur")
    return
  fi
  local options="--help"
  case ${COMP_WORDS[1]} in
    info | environ | check | explain) options+=" --json" ;;
    ls) options+=" --type -l --long -h --human-readable -S -r --reverse --decompressed --json" ;;
    cat) options+=" -f --force" ;;
    extract) options+=" --type -k --keep-existing -q --quiet" ;;
    sound-table) options+=" --json" ;;
    map) options+=" -o --output" ;;
    mount) options+=" -f --foreground --raw --salvage -o" ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}
complete -o filenames -F _tallowmere_dat tallowmere-dat
