#!/usr/bin/env bash
# The main job: the whole life of a tower on a host machine: installed by
# the installer, used, diagnosed and uninstalled by the applet.
source "$(dirname "$0")/common.sh"
need_packages "${HOST_PACKAGES[@]}"
cd "$ROOT"
build_preset host-release >/dev/null
exec "$ROOT/build/host-release/tools/towerctl" demo "$(mktemp -d)"
