#!/usr/bin/env bash
# Shows Updater's version line and help, run from the fresh build.
set -euo pipefail
cd "$(dirname "$0")/.."
build/bin/Updater -h
