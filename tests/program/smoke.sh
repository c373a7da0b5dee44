#!/bin/sh
# Starts the built program as a user would, on a virtual screen of its own, with a fresh home,
# and checks that its window appears, that closing it ends the program, and that it wrote its
# settings.
#   smoke.sh PROGRAM PROBE SCREENSHOT
set -u
. "$(dirname "$0")/../support/require.sh"
require Xvfb xvfb || exit 1
program=$1 probe=$2 shot=$3
home=$(mktemp -d)
xvfb=""
trap '[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null; rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

# The server picks a free display itself and writes its number once it accepts clients, so
# test runs side by side never race for a display and nobody waits for a time.
mkfifo "$home/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$home/display" 2>"$home/xvfb.log" &
xvfb=$!
read -r display <"$home/display" || true
if [ -z "$display" ]; then
    echo "the virtual screen (Xvfb) did not start:"
    cat "$home/xvfb.log"
    exit 1
fi
export DISPLAY=":$display" QT_QPA_PLATFORM=xcb

# The probe starts the program, and returns once the program has ended after its window closed.
"$probe" "Talvenor Software" "$shot" "$program" || exit 1
[ -s "$HOME/.config/Quorvane.conf" ] || { echo "no settings were written at start-up"; exit 1; }
echo "screenshot: $shot"
