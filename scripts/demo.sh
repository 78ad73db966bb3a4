#!/usr/bin/env bash
# The launcher against a real HTTPS update server on this machine, with a small stand-in game that
# prints the arguments it was started with:
#   1. version 1.0 is published and the launcher runs with nothing installed: it installs the game
#      from the full patch and starts it;
#   2. versions 1.1 and 1.2 are published and the launcher runs again: it applies the patches
#      1.0 -> 1.1 -> 1.2 one after the other, checks the result and starts the game.
# Everything the demo makes is under ./demo-run: a throw-away certificate authority, the game's
# versions, the published branch, nginx's configuration and logs, and the launcher's data, home and
# temporary folders. The launcher is built in ./build-demo (BUILD_DIR), pointed at
# https://127.0.0.1:<port>/update (PELWINTER_DEMO_PORT, default 48553) and trusting that authority.
# Extra arguments are passed to the launcher instead of the demo's own. Exits non-zero unless both
# runs end with the game started on the expected version.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
run=$PWD/demo-run
build=${BUILD_DIR:-build-demo}
port=${PELWINTER_DEMO_PORT:-48553}

# A server left behind by an interrupted demo goes before its folder does.
bash scripts/serve-update.sh stop "$run/nginx"
rm -rf "$run"
mkdir -p "$run/data" "$run/home" "$run/tmp"

echo "== building pelwinter-launcher for https://127.0.0.1:$port/update (log: demo-run/build.log)"
bash scripts/serve-update.sh certs "$run/ca"
if ! {
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELWINTER_BUILD_TESTS=ON \
        -DPELWINTER_UPDATE_BASE_URL="https://127.0.0.1:$port/update" -DPELWINTER_EXTRA_CA_FILE="$run/ca/ca.pem" &&
        cmake --build "$build" -j"$(nproc)" --target pelwinter-launcher publish-branch
} > "$run/build.log" 2>&1; then
    tail -n 40 "$run/build.log"
    echo "== the build failed"
    exit 1
fi

# The game in three versions: unchanged, changed, new, deleted, empty and executable files in nested
# folders. The game's executable is the stand-in game.
game=Pelwinter/Binaries/Linux/Pelwinter-Linux-Shipping
random() { head -c "$1" /dev/urandom; }
set_version() {
    { cat tests/support/fake-game; echo "# Pelwinter $2"; } > "$1/$game"
    chmod 755 "$1/$game"
    echo "$2" > "$1/Pelwinter/version.txt"
}
# Overwrites 16 KiB in the middle of a file and appends to it.
change_pak() {
    dd if=/dev/urandom of="$1" bs=4K seek=100 count=4 conv=notrunc status=none
    random 256K >> "$1"
}
v=$run/versions
mkdir -p "$v/1.0/Pelwinter/Binaries/Linux" "$v/1.0/Pelwinter/Content/Paks" "$v/1.0/Pelwinter/Content/Movies" \
    "$v/1.0/Pelwinter/Config" "$v/1.0/Engine/Binaries/Linux"
set_version "$v/1.0" 1.0
random 2M > "$v/1.0/Pelwinter/Content/Paks/base.pak"
random 1M > "$v/1.0/Pelwinter/Content/Paks/level.pak"
random 300K > "$v/1.0/Pelwinter/Content/Movies/intro.bik"
: > "$v/1.0/Pelwinter/Config/empty.ini"
printf '#!/bin/sh\necho "crash reporter"\n' > "$v/1.0/Engine/Binaries/Linux/CrashReporter"
chmod 755 "$v/1.0/Engine/Binaries/Linux/CrashReporter"

cp -a "$v/1.0" "$v/1.1"
set_version "$v/1.1" 1.1
change_pak "$v/1.1/Pelwinter/Content/Paks/level.pak"
rm -r "$v/1.1/Pelwinter/Content/Movies"
mkdir -p "$v/1.1/Pelwinter/Content/Maps/Harbor" "$v/1.1/Pelwinter/Saved/Config"
random 400K > "$v/1.1/Pelwinter/Content/Maps/Harbor/Harbor.umap"
: > "$v/1.1/Pelwinter/Saved/Config/user.ini"

cp -a "$v/1.1" "$v/1.2"
set_version "$v/1.2" 1.2
change_pak "$v/1.2/Pelwinter/Content/Paks/level.pak"
rm "$v/1.2/Pelwinter/Config/empty.ini"
mkdir -p "$v/1.2/Pelwinter/Content/Maps/Summit"
random 600K > "$v/1.2/Pelwinter/Content/Maps/Summit/Summit.umap"
printf '#!/bin/sh\necho "shader compiler"\n' > "$v/1.2/Pelwinter/Binaries/Linux/ShaderCompileWorker"
chmod 755 "$v/1.2/Pelwinter/Binaries/Linux/ShaderCompileWorker"

# publish <what> <version>=<tree>...: the last version is the branch's current one.
publish() {
    echo "== publishing $1 on https://127.0.0.1:$port/update"
    shift
    "$build/publish-branch" "$run/published" "$@" >> "$run/publish.log"
}
publish "version 1.0" 1.0="$v/1.0"
bash scripts/serve-update.sh start "$run/published" "$port" "$run/ca" "$run/nginx"
trap 'bash scripts/serve-update.sh stop "$run/nginx"' EXIT
trap 'exit 130' INT TERM

export XDG_DATA_HOME=$run/data HOME=$run/home TMPDIR=$run/tmp
export FAKE_GAME_ECHO=1 FAKE_GAME_RECORD=$run/game.record
if [ $# -eq 0 ]; then
    set -- --branch=main +map Harbor "player name" -- -windowed
fi
install=$run/data/pelwinter-launcher/pelwinter-installs/main
log=$run/data/pelwinter-launcher/pelwinter-launcher.log

# run_launcher <n> <version expected afterwards>
run_launcher() {
    rm -f "$run/game.record"
    echo "== pelwinter-launcher $(printf '%q ' "${launcher_args[@]}")"
    local status=0
    "$build/pelwinter-launcher" "${launcher_args[@]}" || status=$?
    # The game runs detached; give it a moment to report.
    for _ in $(seq 50); do
        [ -e "$run/game.record" ] && break
        sleep 0.1
    done
    sleep 0.2
    cp "$log" "$run/run$1.log"
    echo "== launcher exit code $status, log: demo-run/run$1.log"
    if [ ! -e "$run/game.record" ]; then
        echo "== the stand-in game did not start"
        return 1
    fi
    if ! diff -r "$install" "$v/$2" > /dev/null; then
        echo "== the install is not version $2"
        return 1
    fi
    echo "== the install is version $2"
}
launcher_args=("$@")

echo "== run 1: nothing installed, 1.0 published"
run_launcher 1 1.0
publish "versions 1.1 and 1.2" 1.0="$v/1.0" 1.1="$v/1.1" 1.2="$v/1.2"
echo "== run 2: 1.0 installed, 1.2 published"
run_launcher 2 1.2
