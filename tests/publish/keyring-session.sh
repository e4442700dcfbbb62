#!/usr/bin/env bash
# Runs a test program against a real secret store of its own: a private
# D-Bus session bus with GNOME Keyring's secret service on it, its login
# keyring made and unlocked with a test password, and HOME and the XDG
# folders in a temporary folder that goes at the end. The program finds that
# folder in KELVRA_KEYRING_HOME.
set -euo pipefail
home=$(mktemp -d /tmp/kelvra-keyring-XXXXXX)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/data" "$home/config" "$home/cache" "$home/run"
chmod 700 "$home/run"
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" \
  XDG_RUNTIME_DIR="$home/run" KELVRA_KEYRING_HOME="$home"
exec dbus-run-session -- bash -c '
  printf "kelvra-test-password" | gnome-keyring-daemon --unlock --components=secrets >/dev/null
  exec "$@"' keyring "$@"
