#!/usr/bin/env bash
# Builds and installs stelvane (with its image-file readers) from this checkout, then runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
python3 -m pip install -q ".[files]"   # with the image readers of the stelvane command
python3 -m stelvane.demo "$@"
