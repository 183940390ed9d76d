#!/bin/sh
# Checks the configuration schema with xmllint.
#
#   check_schema.sh <xmllint> <schema>              the schema is well-formed and compiles
#   check_schema.sh <xmllint> <schema> <config>...  each configuration against the schema
#
# A configuration named bad-*.xml must fail validation, and every error
# must stand on the line marked with the comment "<!-- here -->", so that
# a bad example cannot pass by failing for some other reason (not
# well-formed, or a second fault hiding the one it is about).  Any other
# configuration must validate.

if [ $# -lt 2 ]; then
    echo "usage: $0 <xmllint> <schema> [<config>...]" >&2
    exit 2
fi
xmllint=$1
schema=$2
shift 2

out=$(mktemp) || exit 2
trap 'rm -f "$out"' EXIT INT TERM

failed=0
fail() {
    echo "FAIL: $*"
    sed 's/^/    /' "$out"
    failed=1
}

if [ $# -eq 0 ]; then
    if ! "$xmllint" --noout "$schema" >"$out" 2>&1; then
        fail "$schema is not well-formed"
        exit 1
    fi
    # The schema is compiled before anything is validated against it: exit
    # status 5 means it did not compile.  An empty root is a valid document.
    echo '<Sorbek/>' | "$xmllint" --noout --schema "$schema" - >"$out" 2>&1
    rc=$?
    case $rc in
        0) echo "ok: $schema compiles" ;;
        5) fail "$schema does not compile" ;;
        *) fail "an empty Sorbek document does not validate (xmllint status $rc)" ;;
    esac
    exit $failed
fi

for config in "$@"; do
    "$xmllint" --noout --schema "$schema" "$config" >"$out" 2>&1
    rc=$?
    case $(basename "$config") in
        bad-*)
            line=$(grep -n -F '<!-- here -->' "$config" | head -n 1 | cut -d: -f1)
            if [ -z "$line" ]; then
                fail "$config has no line marked <!-- here -->"
            elif [ $rc -ne 3 ]; then
                fail "$config: expected a validation failure (xmllint status 3), got $rc"
            elif ! grep -q -F "$config:$line:" "$out"; then
                fail "$config: no error reported on the marked line $line"
            elif grep 'validity error' "$out" | grep -v -q -F "$config:$line:"; then
                fail "$config: errors beside the one on the marked line $line"
            else
                echo "ok: $config is rejected"
            fi
            ;;
        *)
            if [ $rc -ne 0 ]; then
                fail "$config does not validate (xmllint status $rc)"
            else
                echo "ok: $config validates"
            fi
            ;;
    esac
done
exit $failed
