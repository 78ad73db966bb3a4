#!/usr/bin/env bash
# Builds the launcher and runs it on a small demo install in a private data directory under
# ./demo-run, with a stand-in game that prints the arguments it was started with.
# No update server is reachable from this build, so the launcher starts the installed game.
# Extra arguments are passed to the launcher instead of the demo's own.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build-demo}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELWINTER_BUILD_TESTS=OFF
cmake --build "$build" -j"$(nproc)" --target pelwinter-launcher

run=$PWD/demo-run
rm -rf "$run"
mkdir -p "$run/data" "$run/home" "$run/tmp"
install=$run/data/pelwinter-launcher/pelwinter-installs/main
game=$install/Pelwinter/Binaries/Linux/Pelwinter-Linux-Shipping
mkdir -p "$(dirname "$game")"
install -m 0755 tests/support/fake-game "$game"
echo "demo game data" > "$install/Pelwinter/demo.pak"

export XDG_DATA_HOME=$run/data HOME=$run/home TMPDIR=$run/tmp
export FAKE_GAME_ECHO=1 FAKE_GAME_RECORD=$run/game.record
if [ $# -eq 0 ]; then
    set -- --branch=main +map Harbor "player name" -- -windowed
fi
echo "== pelwinter-launcher $(printf "%q " "$@")"
status=0
"$build/pelwinter-launcher" "$@" || status=$?
echo "== launcher exit code: $status"

# The game runs detached; give it a moment to report.
for _ in $(seq 50); do
    [ -e "$run/game.record" ] && break
    sleep 0.1
done
sleep 0.2
log=$run/data/pelwinter-launcher/pelwinter-launcher.log
echo "== log file: $log"
cat "$log"
[ -e "$run/game.record" ] || { echo "== the stand-in game did not start"; exit 1; }
exit "$status"
