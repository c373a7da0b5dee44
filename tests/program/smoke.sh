#!/bin/sh
# Starts the built program as a user would, on a virtual screen, with a fresh home, and checks
# that its window appears, that closing it ends the program, and that it wrote its settings.
#   smoke.sh PROGRAM PROBE SCREENSHOT
set -u
if [ -z "${TALVENOR_SMOKE_SCREEN:-}" ]; then
    . "$(dirname "$0")/../support/require.sh"
    require xvfb-run xvfb && require xauth xauth || exit 1
    TALVENOR_SMOKE_SCREEN=1 exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi
program=$1 probe=$2 shot=$3
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=xcb

# The probe starts the program, and returns once the program has ended after its window closed.
"$probe" "Talvenor Software" "$shot" "$program" || exit 1
[ -s "$HOME/.config/Quorvane.conf" ] || { echo "no settings were written at start-up"; exit 1; }
echo "screenshot: $shot"
