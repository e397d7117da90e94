#!/bin/bash
# armhf.sh - the Debian 12 (bookworm) armhf build and its emulated tests: shorthand for
# `tools/debian.sh bookworm armhf COMMAND [ARGS]`, which documents the commands.
exec "$(dirname "$0")/debian.sh" bookworm armhf "$@"
