# The benchmarks' ratio lines ("<name> <label> <value> spread <percent> goal: at least|most
# <limit>..."), each marked at its end when its value misses its goal. An "untrusted"
# value, or a line without a goal, is left as it is.
{
    mark = ""
    value = ""
    for (i = 2; i < NF; i++)
        if ($(i + 1) == "spread")
            value = $i
    if (match($0, /goal: at (least|most) [0-9.]+/) && value ~ /^[0-9.]+$/) {
        split(substr($0, RSTART, RLENGTH), goal, " ")
        if ((goal[3] == "least" && value + 0 < goal[4] + 0) || (goal[3] == "most" && value + 0 > goal[4] + 0))
            mark = "  <-- misses its goal"
    }
    print $0 mark
}
