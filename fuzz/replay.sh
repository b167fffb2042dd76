#!/usr/bin/env bash
# Replays the seed and regression corpora through the fuzz entry with g++'s
# AddressSanitizer and UndefinedBehaviorSanitizer; no clang needed. Exits non-zero
# on any sanitizer report or trap. The ctest target fuzz_replay (scripts/checks.sh).
exec bash "$(dirname "$0")/../scripts/checks.sh" host -R fuzz_replay
