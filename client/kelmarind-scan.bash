# bash completion for kelmarind-scan: its options, treemap files by their
# extension, directories for PATH.
_kelmarind_scan() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    --socket)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return ;;
    --treemap)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -X '!*.@(svg|html)' -- "$cur"; compgen -d -- "$cur")
      return ;;
    -d|--depth)
      mapfile -t COMPREPLY < <(compgen -W '0 1 2 3 4 5 6 7 8 9' -- "$cur")
      return ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W '--browse -i --json --treemap --ping --depth -d
      --socket --verbatim --help -h --version --' -- "$cur")
    return
  fi
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -d -- "$cur")
}
complete -F _kelmarind_scan kelmarind-scan
