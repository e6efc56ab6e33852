#!/usr/bin/env bash
# Builds and installs stelvane from this checkout, then runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
python3 -m pip install -q .
python3 -m stelvane.demo "$@"
