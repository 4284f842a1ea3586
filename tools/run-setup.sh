#!/bin/sh
# `make run`: runs hvpsd in the foreground on a local set-up under ./run/.
# The first run creates the set-up: a configuration with a generated server password (its plain
# text is printed once, only the MD5 digest is stored), port 37655, a 10GB repository limit and a
# repository folder with an empty space database. Later runs reuse it. Ctrl-C stops the server.
set -eu

BUILD_DIR=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
case "$BUILD_DIR" in
/*) HVPSD="$BUILD_DIR/hvpsd" ;;
*) HVPSD="$ROOT/$BUILD_DIR/hvpsd" ;;
esac
RUN_DIR="$ROOT/run"

if [ ! -x "$HVPSD" ]; then
    echo "Error: $HVPSD not found; build it first (make build)" >&2
    exit 1
fi

mkdir -p "$RUN_DIR/data"
[ -e "$RUN_DIR/data/space-db" ] || : >"$RUN_DIR/data/space-db"

if [ ! -e "$RUN_DIR/mime.types" ]; then
    if [ -f "$ROOT/resources/mime.types" ]; then
        cp "$ROOT/resources/mime.types" "$RUN_DIR/mime.types"
    else
        printf '%s\n' 'text/html html htm' 'text/plain txt' 'application/octet-stream bin' \
            >"$RUN_DIR/mime.types"
    fi
fi

if [ ! -e "$RUN_DIR/hvps.config" ]; then
    password=$(tr -dc 'A-Za-z0-9' </dev/urandom | head -c 16)
    digest=$(printf '%s' "$password" | md5sum | cut -c1-32 | tr 'a-f' 'A-F')
    # Written to a temporary name first, so that an interrupted set-up is redone next time.
    cat >"$RUN_DIR/hvps.config.new" <<CONFIG
# Local set-up made by 'make run'. See README.md for every key.
server-password=$digest
server-port=37655
repository-data=./data
repository-name=repo1
repository-size=10GB
CONFIG
    mv "$RUN_DIR/hvps.config.new" "$RUN_DIR/hvps.config"
    echo "Created the set-up in $RUN_DIR"
    echo "Server password (shown only this once): $password"
fi

cd "$RUN_DIR"
if [ "$(id -u)" = 0 ]; then
    exec "$HVPSD" -d --allow-root
fi
exec "$HVPSD" -d
