#!/bin/sh
# Regenerates the shipped example logs.
set -eu
cd "$(dirname "$0")/.."
scripts/logmaker.py pcvan examples/pcvan.log --messages 12 --downloads 3 --seed 1996
scripts/logmaker.py nifty examples/nifty.log --messages 12 --downloads 3 --seed 1997
