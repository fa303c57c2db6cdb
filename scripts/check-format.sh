#!/bin/sh
# Checks that every C and C++ source the repository tracks is formatted as
# .clang-format says, with clang-format 14 (other versions format some
# constructs differently, so the check names the version it needs).
#
#   scripts/check-format.sh            check; lists the files that differ
#   scripts/check-format.sh --diff     also show how each file would change
#   scripts/check-format.sh --fix      format those files in place
#
# Exit status: 0 every file is formatted, 1 some file is not (or --fix
# failed), 2 usage error or clang-format 14 missing (scripts/install-deps.sh
# installs it).
set -eu
cd "$(dirname "$0")/.."

mode="check"
case "${1:-}" in
    "") ;;
    --diff) mode="diff" ;;
    --fix) mode="fix" ;;
    -h|--help) sed -n '2,13s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "usage: $0 [--diff|--fix]" >&2; exit 2 ;;
esac

format=$(command -v clang-format-14 || true)
if [ -z "$format" ]; then
    echo "check-format: clang-format-14 not found; run scripts/install-deps.sh" >&2
    exit 2
fi

status=0
count=0
bad=0
# Sources only: fuzz inputs and golden files carry no such suffix.
files=$(git ls-files '*.c' '*.cpp' '*.h')
for f in $files; do
    count=$((count + 1))
    if "$format" --style=file "$f" | cmp -s "$f" -; then
        continue
    fi
    bad=$((bad + 1))
    case "$mode" in
        check) echo "$f" ;;
        diff) "$format" --style=file "$f" | diff -u --label "a/$f" --label "b/$f" "$f" - || true ;;
        fix) "$format" --style=file -i "$f" || status=1 ;;
    esac
done

if [ "$bad" -eq 0 ]; then
    echo "check-format: all $count files formatted"
    exit 0
fi
if [ "$mode" = fix ]; then
    echo "check-format: formatted $bad of $count files"
    exit "$status"
fi
echo "check-format: $bad of $count files are not formatted; scripts/check-format.sh --fix formats them" >&2
exit 1
