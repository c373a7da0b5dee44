# Sourced by the shell tests and scripts that run a program from outside the project:
#   require PROGRAM PACKAGE        fails with one line naming the Debian package when PROGRAM
#                                  is not on PATH
#   require_file PATH PACKAGE WHAT the same for a file that a package installs
require() {
    command -v "$1" >/dev/null 2>&1 && return 0
    echo "$1 is missing: install the Debian package $2 (tools/deps.sh installs all that the tests need)" >&2
    return 1
}
require_file() {
    [ -e "$1" ] && return 0
    echo "$3 is missing: install the Debian package $2 (tools/deps.sh installs all that the tests need)" >&2
    return 1
}
