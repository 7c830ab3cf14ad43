#!/bin/sh
# po/extract-messages on a planted tree: button and column tables (tooltip,
# label and title fields; null fields, other fields and commented rows left
# out), marked calls, and a file taking the "pelmorabox" domain from a header.
set -u
PY="$1"; EXTRACT="$2"
T="$(mktemp -d)"; trap 'rm -rf "$T"' EXIT
mkdir -p "$T/src/ui" "$T/src/pelmorauicommon"
cat >"$T/src/ui/panel.cpp" <<'SRC'
#define _(s) dgettext("PelmoraBox", s)
static const ui_button_desc buttons[] = {
    {1, "Take the next", nullptr, "TAKE", "hook_take", take_image},
    {2, nullptr, "gtk-stop", nullptr, "hook_stop", nullptr},
    /* {3, "Commented out", nullptr, nullptr, "x", nullptr}, */
    {4, "Two " "parts, {braces}", nullptr, nullptr, "hook, with comma", nullptr},
    {0, nullptr, nullptr, nullptr, nullptr, nullptr},
};
const ui_column_desc plan[PLAN_LAST + 1] = {
    {PLAN_TITLE, "TITLE", G_TYPE_STRING},
    {PLAN_LAST, nullptr, G_TYPE_INVALID},
};
void f() { show(_("Called %s"), name); log("not marked"); }
SRC
printf '#define _(s) dgettext("pelmorabox", s)\n' >"$T/src/pelmorauicommon/lib_i18n.h"
printf '#include "lib_i18n.h"\nvoid g() { show(_("Rename folder")); }\n' >"$T/src/pelmorauicommon/ops.cpp"

"$PY" "$EXTRACT" --root "$T" --out "$T/out" || { echo "extraction failed"; exit 1; }
fail=0
ids() { sed -n 's/^msgid "\(.*\)"$/\1/p' "$1" | grep -v '^$' | sort | tr '\n' '|'; }
want='Called %s|TAKE|TITLE|Take the next|Two parts, {braces}|'
got="$(ids "$T/out/PelmoraBox.pot")"
[ "$got" = "$want" ] || { echo "PelmoraBox: got [$got], want [$want]"; fail=1; }
got="$(ids "$T/out/pelmorabox.pot")"
[ "$got" = "Rename folder|" ] || { echo "pelmorabox: got [$got]"; fail=1; }
grep -q '^#: src/ui/panel.cpp:3$' "$T/out/PelmoraBox.pot" || { echo "no reference to the table row's line"; fail=1; }
exit $fail
