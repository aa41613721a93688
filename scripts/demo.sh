#!/usr/bin/env bash
# The main job: the whole life of a tower on a host machine: installed by
# the installer, used, diagnosed and uninstalled by the applet.
source "$(dirname "$0")/common.sh"
need_packages "${HOST_PACKAGES[@]}"
cd "$ROOT"
summary_on_exit demo.sh
build_preset host-release
# The machine's state lives in a directory of its own, removed afterwards.
state="$(mktemp -d)"
TEMP_DIRS+=("$state")
"$ROOT/build/host-release/tools/towerctl" demo "$state"
