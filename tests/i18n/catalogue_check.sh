#!/bin/sh
# Both German catalogues against the texts the console has now: the texts
# are extracted afresh from the source tree, each catalogue is merged with
# its template in a scratch folder (the catalogues themselves are only
# read), and every text must be translated, none fuzzy, none left over
# without a source, and every catalogue must compile with --check.
set -u
PY="$1"; EXTRACT="$2"; ROOT="$3"
T="$(mktemp -d)"; trap 'rm -rf "$T"' EXIT
"$PY" "$EXTRACT" --root "$ROOT" --out "$T/pot" >/dev/null || { echo "extraction failed"; exit 1; }
fail=0
check() { # domain catalogue
  pot="$T/pot/$1.pot"
  [ -f "$pot" ] || { echo "no template for $1"; fail=1; return; }
  msgfmt --check -o /dev/null "$2" || { echo "$2 does not compile"; fail=1; }
  msgmerge --quiet --no-wrap --no-fuzzy-matching -o "$T/merged.po" "$2" "$pot" || { echo "msgmerge $2 failed"; fail=1; return; }
  stats="$(msgfmt --statistics -o /dev/null "$T/merged.po" 2>&1)"
  echo "$1 ($2): $stats"
  missing="$(msgattrib --untranslated --no-obsolete --no-wrap "$T/merged.po" | sed -n 's/^msgid "\(.\+\)"$/\1/p')"
  fuzzy="$(msgattrib --only-fuzzy --no-obsolete --no-wrap "$T/merged.po" | sed -n 's/^msgid "\(.\+\)"$/\1/p')"
  if [ -n "$missing" ]; then echo "untranslated in $2:"; echo "$missing" | sed 's/^/  /'; fail=1; fi
  if [ -n "$fuzzy" ]; then echo "fuzzy in $2:"; echo "$fuzzy" | sed 's/^/  /'; fail=1; fi
}
check PelmoraBox "$ROOT/po/de.po"
check pelmorabox "$ROOT/po/pelmorabox/de.po"
[ "$fail" -eq 0 ] && echo "both German catalogues complete"
exit "$fail"
