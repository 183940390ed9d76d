#!/bin/sh
# Fails, naming the lines, when a folder of the acquisition core includes a
# header of a folder above it: ostrel/ <- data/ <- daq/ <- config/.
# Usage: core_reads_bottom_up.sh <source folder>
cd "$1" || exit 2
status=0
# below <folder> <folders above it>...
below() {
    folder=$1
    shift
    for above in "$@"; do
        if grep -rnE "#[[:space:]]*include[[:space:]]*[<\"](\.\./)*$above/" "$folder"; then
            status=1
        fi
    done
}
below ostrel data daq config
below data daq config
below daq config
exit $status
