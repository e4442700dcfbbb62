#!/usr/bin/env bash
# `cmake --install` into a staging DESTDIR puts exactly the programs and the
# desktop's files under the prefix, each as the desktop wants it, lists them
# in the install manifest, and the uninstall script removes every one.
#   install_tree.sh SOURCE_DIR BUILD_DIR VERSION
set -uo pipefail
src=$1
build=$2
version=$3
id=io.github.zarnel.Kelvra
failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

DESTDIR="$stage" cmake --install "$build" --prefix /usr >"$stage.log" 2>&1 || {
  cat "$stage.log" >&2
  rm -f "$stage.log"
  exit 1
}
rm -f "$stage.log"

expected="usr/bin/kelvra
usr/bin/kelvra-render
usr/share/applications/$id.desktop
usr/share/doc/kelvra/changelog.gz
usr/share/doc/kelvra/copyright"
for size in 16 22 24 32 48 64 128 256 512; do
  expected+=$'\n'"usr/share/icons/hicolor/${size}x${size}/apps/$id.png"
done
expected+="
usr/share/icons/hicolor/scalable/apps/$id.svg
usr/share/man/man1/kelvra-render.1.gz
usr/share/man/man1/kelvra.1.gz
usr/share/metainfo/$id.metainfo.xml
usr/share/mime/packages/$id.xml"
expected=$(sort <<<"$expected")
found=$(cd "$stage" && find . -mindepth 1 \( -type f -o -type l \) | sed 's|^\./||' | sort)
[ "$found" = "$expected" ] || fail "the installed tree differs:"$'\n'"$(diff <(echo "$expected") <(echo "$found"))"

listed=$(sed "s|^/||" "$build/install_manifest.txt" | sort)
[ "$listed" = "$expected" ] || fail "the manifest differs:"$'\n'"$(diff <(echo "$expected") <(echo "$listed"))"

for program in kelvra kelvra-render; do
  [ -x "$stage/usr/bin/$program" ] || fail "$program is not executable"
done
said=$(env -u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER "$stage/usr/bin/kelvra" --version 2>&1)
[ "$said" = "kelvra $version" ] || fail "the installed kelvra --version says '$said'"

# Each PNG is a square of its folder's size (width and height from its header).
for size in 16 22 24 32 48 64 128 256 512; do
  png="$stage/usr/share/icons/hicolor/${size}x${size}/apps/$id.png"
  header=$(od -An -tx1 -N8 "$png" | tr -d ' \n')
  [ "$header" = 89504e470d0a1a0a ] || fail "$png is not a PNG"
  dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{print $3*256+$4 "x" $7*256+$8}')
  [ "$dims" = "${size}x${size}" ] || fail "$png is $dims"
done
for page in kelvra kelvra-render; do
  gz="$stage/usr/share/man/man1/$page.1.gz"
  gzip -t "$gz" || fail "$gz is not whole"
  said=$(man --warnings -l "$gz" 2>&1 >/dev/null)
  [ -z "$said" ] || fail "man --warnings on the installed $page.1.gz: $said"
done
for file in $(find "$stage" -type f); do
  mode=$(stat -c %a "$file")
  case "$file" in
    */bin/*) [ "$mode" = 755 ] || fail "$file has mode $mode" ;;
    *) [ "$mode" = 644 ] || fail "$file has mode $mode" ;;
  esac
done

DESTDIR="$stage" cmake -DKELVRA_MANIFEST="$build/install_manifest.txt" -P "$src/cmake/uninstall.cmake" >/dev/null ||
  fail "the uninstall script failed"
left=$(cd "$stage" && find . -mindepth 1 \( -type f -o -type l \))
[ -z "$left" ] || fail "uninstall left: $left"
[ ! -e "$stage/usr/share/doc/kelvra" ] || fail "uninstall left the documents folder"

exit $failed
