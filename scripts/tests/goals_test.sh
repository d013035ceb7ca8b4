#!/bin/bash
# run-benchmarks.sh's table marks a ratio that misses its goal, and only such a ratio.
# usage: goals_test.sh GOALS_AWK
set -u
awk_script=$1
failed=0
mark='  <-- misses its goal'
# marked(yes|no) then the table line
while IFS='|' read -r want line; do
    got=$(printf '%s\n' "$line" | awk -f "$awk_script")
    if [ "$want" = yes ]; then expected=$line$mark; else expected=$line; fi
    if [ "$got" = "$expected" ]; then
        echo "ok   $want: $line"
    else
        echo "FAIL $line"; echo "     gave: $got"
        failed=1
    fi
done <<'TABLE'
no|call_overhead  wrapper / bare call (time)          0.150  spread   1.0%  goal: at most 0.2
no|call_overhead  wrapper / bare call (time)          0.200  spread   1.0%  goal: at most 0.2
yes|call_overhead  wrapper / bare call (time)         0.201  spread   1.0%  goal: at most 0.2
yes|data_path      module / C, 65536 bytes (speed)    0.940  spread   1.0%  goal: at least 0.95
no|data_path      module / C, 65536 bytes (speed)     0.950  spread   1.0%  goal: at least 0.95
no|data_path      module / C, 65536 bytes (speed)     1.700  spread   2.0%  goal: at least 0.95
no|data_path      module / C, 16 bytes (speed)        0.500  spread   1.0%  
no|envelope       module / C, 65536 bytes (speed) untrusted  spread   9.0%  goal: at least 0.95 (rerun)
yes|media_list     vek-cli media list / C client (time) 1.100  spread   1.0%  goal: at most 1.03
TABLE
exit "$failed"
