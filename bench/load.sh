#!/bin/sh
# The load checks live in load.py; this name stays for the commands that already use it.
exec /usr/bin/python3 "$(dirname "$0")/load.py" "$@"
