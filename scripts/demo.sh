#!/usr/bin/env bash
# The main job: a host machine boots with one simulated tower, loads the
# driver and shows the tower.
source "$(dirname "$0")/common.sh"
need_packages "${HOST_PACKAGES[@]}"
cd "$ROOT"
build_preset host-release >/dev/null
exec "$ROOT/build/host-release/tools/towerctl" demo "$(mktemp -d)"
