#!/bin/sh
# run.sh FUZZER SEEDS WORKDIR SECONDS
# Fuzzes for SECONDS from the seed corpus in the tree. New inputs go to WORKDIR/corpus, never into
# the tree; a failing input is saved in WORKDIR and named in the output.
set -eu
fuzzer=$1 seeds=$2 work=$3 seconds=$4
mkdir -p "$work/corpus"
exec "$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "$seeds"
