#!/usr/bin/env bash
# make demo: the plug-in on the rig's virtual null-modem (see tools/demo.py).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec /usr/bin/python3 "$here/demo.py" "${1:-$here/../build/win32}" "${@:2}"
