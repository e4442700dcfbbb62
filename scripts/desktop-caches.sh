#!/usr/bin/env bash
# Refreshes the desktop's caches of file types, menu entries and icons under
# PREFIX after an install or an uninstall. Each tool is optional: without it
# the desktop reads the files itself, only slower. (A Debian package gets
# this from the triggers of those tools' packages.)
set -u
prefix=${1:-/usr/local}
share="$prefix/share"
if command -v update-mime-database >/dev/null && [ -d "$share/mime/packages" ]; then
  update-mime-database "$share/mime" || echo "desktop-caches: update-mime-database failed" >&2
fi
if command -v update-desktop-database >/dev/null && [ -d "$share/applications" ]; then
  update-desktop-database -q "$share/applications" || echo "desktop-caches: update-desktop-database failed" >&2
fi
if command -v gtk-update-icon-cache >/dev/null && [ -d "$share/icons/hicolor" ]; then
  gtk-update-icon-cache -q -t -f "$share/icons/hicolor" || echo "desktop-caches: gtk-update-icon-cache failed" >&2
fi
exit 0
