#!/bin/sh
# Extracts the translatable texts into locale/server_t.pot and merges them
# into every locale/<lang>.po. Texts come from tr_("...") and N_("...") in
# the panel and bridge sources and from the <string> texts of res/*.ui that
# are not marked notr="true".
#
# xgettext cannot read .ui files, so each one is first turned into a file of
# the same name and line count holding N_("...") on the lines where the texts
# stand; the catalogue's references then point at the real .ui lines.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for ui in res/*.ui; do
    [ -e "$ui" ] || continue
    mkdir -p "$work/$(dirname "$ui")"
    python3 - "$ui" "$work/$ui" <<'EOF'
import html, re, sys
src, dst = sys.argv[1], sys.argv[2]
string_re = re.compile(r'<string(?P<attrs>[^>]*)>(?P<text>[^<]*)</string>')
out = []
with open(src, encoding="utf-8") as f:
    for line in f:
        marks = []
        for m in string_re.finditer(line):
            if 'notr="true"' in m.group("attrs"):
                continue
            text = html.unescape(m.group("text"))
            if not text:
                continue
            escaped = text.replace("\\", "\\\\").replace('"', '\\"')
            marks.append('N_("%s");' % escaped)
        out.append(" ".join(marks) + "\n")
with open(dst, "w", encoding="utf-8") as f:
    f.writelines(out)
EOF
done

sources=$(ls src/panel/*.cpp src/panel/*.h src/bridge/*.cpp src/bridge/*.h 2>/dev/null | sort)

# The .ui stand-ins are read from the scratch folder under their own names.
(cd "$work" && xgettext --language=C++ --from-code=UTF-8 \
    --keyword=N_ --keyword=tr_ \
    --package-name=Serial-Tcp/Ip --package-version=02.705 \
    --no-wrap --sort-by-file --force-po \
    -o "$work/from_ui.pot" res/*.ui)
xgettext --language=C++ --from-code=UTF-8 \
    --keyword=N_ --keyword=tr_ \
    --package-name=Serial-Tcp/Ip --package-version=02.705 \
    --no-wrap --sort-by-file --force-po \
    -o "$work/from_sources.pot" $sources

msgcat --no-wrap --sort-by-file --use-first \
    -o locale/server_t.pot "$work/from_ui.pot" "$work/from_sources.pot"
# The header should not change on every run only because the clock did.
sed -i '/^"POT-Creation-Date:/d' locale/server_t.pot

for po in locale/*.po; do
    [ -e "$po" ] || continue
    msgmerge --quiet --update --backup=none --no-wrap --sort-by-file "$po" locale/server_t.pot
    # msgfmt skips obsolete entries: a text that lost its N_() or tr_() mark
    # would silently go untranslated.
    if grep -q '^#~ msgid' "$po"; then
        echo "$po: texts no longer found in the sources (mark them, or delete them):" >&2
        grep '^#~ msgid' "$po" | sed 's/^#~ msgid /    /' >&2
    fi
done
echo "locale/server_t.pot: $(grep -c '^msgid "[^"]' locale/server_t.pot) texts"
