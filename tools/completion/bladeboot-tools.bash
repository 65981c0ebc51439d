# bash completion for bladeimg, bladesim and bladeflash.
_bladeboot_tools()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} words
    case ${COMP_WORDS[0]##*/} in
    bladeimg)
        if [ "$COMP_CWORD" -eq 1 ]; then
            words="create pack info verify crc --help --version"
        else
            case $prev in
            --type) words="application uboot kernel rfs dft diags" ;;
            --header) words="plain extended hdr3" ;;
            --version|--header-length) return ;;
            *) case ${COMP_WORDS[1]} in
               create) words="--type --version --header --header-length -o --help" ;;
               pack) words="-o --help" ;;
               info) words="--json --help" ;;
               *) words="--help" ;;
               esac ;;
            esac
        fi ;;
    bladesim)
        if [ "$COMP_CWORD" -eq 1 ]; then
            words="init run setenv eeprom exec --help --version"
        elif [ "$COMP_CWORD" -eq 2 ]; then
            compopt -o dirnames 2>/dev/null; COMPREPLY=($(compgen -d -- "$cur")); return
        else
            case ${COMP_WORDS[1]} in
            run|exec) words="--speed --timeout" ;;
            setenv) words="--replace gdb= gdbserver= gdbport= shell= memchk= diagnostics=" ;;
            eeprom) words="--preferred --booted --usbboot" ;;
            esac
        fi ;;
    bladeflash)
        case $prev in
        --slot) words="1 2 boot" ;;
        --timeout) return ;;
        *) words="--slot --reboot --timeout --verify --json --help --version" ;;
        esac ;;
    esac
    [ -z "${words-}" ] || COMPREPLY=($(compgen -W "$words" -- "$cur"))
    [ ${#COMPREPLY[@]} -gt 0 ] || COMPREPLY=($(compgen -f -- "$cur"))
}
complete -F _bladeboot_tools bladeimg bladesim bladeflash
