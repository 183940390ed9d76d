#!/bin/sh
# Validates every interface description of the source tree against
# libglade's DTD.
#   validate_glade.sh SOURCE_DIR
set -u
src=$1
dtd=/usr/share/xml/libglade/glade-2.0.dtd
files=$(find "$src" \( -name .git -o -name 'build*' \) -prune -o -name '*.glade' -print | sort)
[ -n "$files" ] || { echo "no .glade file under $src"; exit 1; }
status=0
for f in $files; do
  if xmllint --nonet --noout --dtdvalid "$dtd" "$f"; then
    echo "valid: $f"
  else
    status=1
  fi
done
exit $status
