#!/usr/bin/env bash
# The files the desktop reads, checked by the desktop's own tools: the menu
# entry, the AppStream metainfo, the project file type and what it matches,
# and the manual pages, which must name every option and environment variable
# the programs read.
#   check_files.sh SOURCE_DIR BUILD_DIR VERSION
set -uo pipefail
src=$1
build=$2
version=$3
id=io.github.zarnel.Kelvra
type=application/x-zarnel-kelvra-project
failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# ------------------------------------------------------------ menu entry
desktop="$src/data/$id.desktop"
said=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate rejects $desktop: $said"
[ -z "$said" ] || fail "desktop-file-validate: $said"
for line in "Exec=kelvra %f" "Icon=$id" "GenericName=Video Editor" "MimeType=$type;" \
  "Categories=AudioVideo;Video;AudioVideoEditing;" "StartupWMClass=zarnel-kelvra"; do
  grep -qxF "$line" "$desktop" || fail "the menu entry lacks '$line'"
done

# -------------------------------------------------------------- metainfo
metainfo="$build/data/$id.metainfo.xml"
said=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1) || fail "appstreamcli rejects $metainfo: $said"
# The id's capital letter is the only remark allowed (a pedantic one).
remarks=$(printf '%s\n' "$said" | grep -E '^[EWIP]: ' | grep -v 'cid-contains-uppercase-letter')
[ -z "$remarks" ] || fail "appstreamcli: $remarks"
for text in "<id>$id</id>" "<launchable type=\"desktop-id\">$id.desktop</launchable>" \
  "<mediatype>$type</mediatype>" "<binary>kelvra</binary>" "<binary>kelvra-render</binary>"; do
  grep -qF "$text" "$metainfo" || fail "the metainfo lacks $text"
done
grep -qF "<release version=\"$version\"" "$metainfo" || fail "the metainfo's release is not version $version"

# ------------------------------------------------------- project file type
mime="$tmp/share/mime"
mkdir -p "$mime/packages"
cp "$src/data/$id.mime.xml" "$mime/packages/$id.xml"
said=$(update-mime-database -V "$mime" 2>&1) || fail "update-mime-database rejects the type: $said"
if printf '%s\n' "$said" | grep -qiE 'warning|error|unknown|invalid'; then fail "update-mime-database: $said"; fi
grep -qF "$type" "$mime/types" || fail "the database made from the type lacks $type"

mkdir "$tmp/files"
printf '{\n  "schemaVersion": 1,\n  "layout": "split"\n}\n' > "$tmp/files/holiday.pjn"
cp "$src/demo/demo.pjn" "$tmp/files/named-without-extension"
printf '  \n{"title": "x", "schemaVersion": 1}' > "$tmp/files/spaced-first"
printf '{"title": "not a project"}\n' > "$tmp/files/other-json"
printf 'schemaVersion without an object\n' > "$tmp/files/plain-text"
content_type() {
  XDG_DATA_HOME="$tmp/share" XDG_DATA_DIRS=/usr/share gio info -a standard::content-type "$1" 2>&1 |
    sed -n 's/^ *standard::content-type: //p'
}
expect_type() {  # FILE, whether it is a project (yes/no)
  local got
  got=$(content_type "$tmp/files/$1")
  if [ "$2" = yes ] && [ "$got" != "$type" ]; then fail "$1 is taken for '$got', not a project"; fi
  if [ "$2" = no ] && [ "$got" = "$type" ]; then fail "$1 is taken for a project"; fi
}
expect_type holiday.pjn yes
expect_type named-without-extension yes
expect_type spaced-first yes
expect_type other-json no
expect_type plain-text no

# ---------------------------------------------------------------- manuals
for page in kelvra.1 kelvra-render.1; do
  said=$(man --warnings -l "$build/data/$page" 2>&1 >/dev/null)
  [ -z "$said" ] || fail "man --warnings $page: $said"
  grep -q '^\.SH EXIT STATUS' "$build/data/$page" || fail "$page has no EXIT STATUS"
  grep -q '^\.SH FILES' "$build/data/$page" || fail "$page has no FILES"
done
# Every environment variable of the program's own, every option of both commands.
text=$(sed 's/\\-/-/g' "$build/data/kelvra.1")
for name in $(grep -rhoE '"ZARNELK_[A-Z_]+"' "$src/src" | tr -d '"' | sort -u); do
  grep -qw -- "$name" <<<"$text" || fail "kelvra.1 does not name $name"
done
for option in $(grep -hoE 'strcmp\(arg, "--?[a-z-]+"\)' "$src/src/app/command_line.cpp" | grep -oE '"[^"]+"' | tr -d '"'); do
  [ "$option" = "--" ] && continue
  grep -qe "$option" <<<"$text" || fail "kelvra.1 does not name $option"
done
text=$(sed 's/\\-/-/g' "$build/data/kelvra-render.1")
for option in $(grep -hoE 'strcmp\(arg, "--?[a-z-]+"\)' "$src/tools/kelvra_render.cpp" | grep -oE '"[^"]+"' | tr -d '"'); do
  grep -qe "$option" <<<"$text" || fail "kelvra-render.1 does not name $option"
done
grep -qF "Zarnel Kelvra $version" "$build/data/kelvra.1" || fail "kelvra.1 is not of version $version"

exit $failed
