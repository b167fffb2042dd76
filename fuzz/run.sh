#!/usr/bin/env bash
# Fuzzes the reader core: fuzz/run.sh SECONDS [JOBS]. Builds with fuzz/build.sh,
# grows a working corpus in fuzz/build/corpus from the seeds and regressions, and
# leaves crash inputs in fuzz/build/artifacts. Each job writes fuzz/build/fuzz-N.log;
# the executions of a run are the sum of the "Done N runs" lines.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
jobs=${2:-1}
bash fuzz/build.sh
mkdir -p fuzz/build/corpus fuzz/build/artifacts
find fuzz/corpus fuzz/regressions -type f ! -name 'README*' -exec cp -n {} fuzz/build/corpus/ \;
cd fuzz/build
./fuzz_reader -jobs="$jobs" -workers="$jobs" -max_total_time="$seconds" -max_len=4096 \
    -entropic_scale_per_exec_time=1 -rss_limit_mb=2048 -dict=../reader.dict \
    -artifact_prefix=artifacts/ -print_final_stats=1 corpus
grep -h "^Done" fuzz-*.log
