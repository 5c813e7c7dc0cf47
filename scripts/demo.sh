#!/usr/bin/env bash
# Installs what is needed, builds, and runs the controller in the demo data root.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build
cd demo
exec ../build/belvanto
