# Shared by the fuzz scripts; sourced with $root set to the tree.

# Prints the lines of fuzz/targets.txt that are to run: all of them, or only those
# named in VELKA_FUZZ_ONLY (blank-separated).
selected_targets() {
    while read -r name sources; do
        case $name in ''|'#'*) continue ;; esac
        if [ -n "${VELKA_FUZZ_ONLY:-}" ]; then
            case " $VELKA_FUZZ_ONLY " in *" $name "*) ;; *) continue ;; esac
        fi
        echo "$name $sources"
    done < "$root/fuzz/targets.txt"
}
