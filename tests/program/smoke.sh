#!/bin/sh
# Starts the built program as a user would, on a virtual screen, with a fresh home, and checks
# that its window appears and that closing it ends the program.
#   smoke.sh PROGRAM PROBE SCREENSHOT
set -u
program=$1 probe=$2 shot=$3
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM
export QT_QPA_PLATFORM=xcb

"$program" &
pid=$!
"$probe" "Talvenor Software" "$shot" 30
found=$?
# Closing the window must end the program promptly.
i=0
while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do sleep 0.2; i=$((i + 1)); done
if kill -0 "$pid" 2>/dev/null; then
    echo "the program did not end after its window was closed"
    kill "$pid"
    exit 1
fi
[ $found -eq 0 ] || exit 1
[ -s "$HOME/.config/Quorvane.conf" ] || { echo "no settings were written at start-up"; exit 1; }
echo "screenshot: $shot"
