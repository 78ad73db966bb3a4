#!/usr/bin/env bash
# Checks the quoted includes of the sources, without a build:
# - each names a file of the tree, read from the including file's folder, the repository root, or the
#   source roots launcher/ and tests/ (generated ui_*.h and *.moc files excepted);
# - the patch engine's layer rule: a file of one layer includes engine headers only of its own layer and
#   those below it. The link of each layer's library keeps the same rule for calls.
# Fails naming each file and include.
#
#   core             uses nothing
#   os/file_services uses core
#   os/path_identity uses core, os/file_services
#   os/tree_removal  uses core, os/file_services
#   os/link_check    uses core, os/file_services
#   os/zstd_*        uses core
#   dir              uses core, os/file_services
#   drivers          uses core, os, dir
#   tools            uses the whole engine
set -euo pipefail
cd "$(dirname "$0")/.."

# The engine parts a file of the given part may include, as patterns on the path below patch/.
allowed_for() {
    case "$1" in
        core/*) echo 'core/' ;;
        os/file_services*) echo 'core/ os/file_services' ;;
        os/path_identity*) echo 'core/ os/file_services os/path_identity' ;;
        os/tree_removal*) echo 'core/ os/file_services os/tree_removal' ;;
        os/link_check*) echo 'core/ os/file_services os/link_check' ;;
        os/zstd_*) echo 'core/ os/zstd_' ;;
        dir/*) echo 'core/ os/file_services dir/' ;;
        drivers/*) echo 'core/ os/ dir/ drivers/' ;;
        tools/*) echo 'core/ os/ dir/ drivers/ tools/' ;;
        *) echo '' ;;
    esac
}

bad=0
while IFS=: read -r file number include; do
    case "$include" in ui_*.h | *.moc) continue ;; esac
    dir=$(dirname "$file")
    if [ ! -f "$dir/$include" ] && [ ! -f "$include" ] && [ ! -f "launcher/$include" ] && [ ! -f "tests/$include" ]; then
        echo "$file:$number: includes \"$include\", which names no file of the tree"
        bad=$((bad + 1))
    fi
done < <(find launcher hasher patch tests bench \( -type d -name 'build*' -prune \) -o -type f \
              \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print | LC_ALL=C sort |
         xargs grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' |
         sed -E 's/^([^:]+):([0-9]+):[^"]*"([^"]+)".*/\1:\2:\3/')

while IFS= read -r file; do
    part=${file#patch/}
    allowed=$(allowed_for "$part")
    if [ -z "$allowed" ]; then
        echo "$file: belongs to no layer (move it into core/, os/, dir/, drivers/ or tools/)"
        bad=$((bad + 1))
        continue
    fi
    while IFS= read -r line; do
        number=${line%%:*}
        include=$(sed -E 's/^[^"]*"([^"]+)".*/\1/' <<<"${line#*:}")
        target=""
        case "$include" in
            patch/*) target=${include#patch/} ;;
            ../*) target=$(realpath -m --relative-to=patch "$(dirname "$file")/$include") ;;
            */*) ;;
            *) target=$(dirname "$part")/$include ;;
        esac
        [ -n "$target" ] || continue
        ok=0
        for prefix in $allowed; do
            case "$target" in "$prefix"*) ok=1 ;; esac
        done
        if [ "$ok" -eq 0 ]; then
            echo "$file:$number: includes \"$include\", which is above its layer"
            bad=$((bad + 1))
        fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' "$file" || true)
done < <(find patch -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) | LC_ALL=C sort)

if [ "$bad" -gt 0 ]; then
    echo "$bad include(s) name no file or break the patch engine's layer rule (a layer uses only the layers" \
         "below it)." >&2
    exit 1
fi
echo "includes: every one names a file of the tree, and every engine include stays within its layer or below."
