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

# build_target NAME BINARY SOURCE...: compiles fuzz/NAME_fuzz.cpp with the sources of its
# line in fuzz/targets.txt (paths in the tree, and -l options) into BINARY, with $CXX and
# $CXXFLAGS.
build_target() {
    local name="$1" binary="$2" source
    shift 2
    for source in "$@"; do
        shift
        case $source in
        -l*) set -- "$@" "$source" ;;
        *) set -- "$@" "$root/$source" ;;
        esac
    done
    $CXX $CXXFLAGS -I"$root" -o "$binary" "$root/fuzz/${name}_fuzz.cpp" "$@"
}
