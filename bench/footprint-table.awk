# The footprint's figures as one Markdown table, with the chart's data and where CPU and wakeups
# came from (scripts/footprint). One input line per system, the minimal loop's named "minimal":
#   name rss_kib pss_kib threads cpu_ticks cpu_ns switches perf_cpu_ns perf_switches wake_us
# cpu_ticks (utime+stime, children included) counts threads that ended, in steps of 1/tick s;
# cpu_ns (time on a CPU of the live threads) is exact; switches are those of the live threads;
# perf's figures (-1 where perf cannot count) include threads that began and ended meanwhile.
# wake_us is "-" where a system has no such figure.
#
# Variables: window (seconds), tick (CLK_TCK), labels and chart_labels ("|"-separated, one per
# line), table, data and sources (output files).

BEGIN { split(labels, label, "|"); split(chart_labels, chart_label, "|") }

{
    row++
    rss[row] = $2 / 1024; pss[row] = $3 / 1024; threads[row] = $4
    # The exact time, unless ended threads make the ticks say more by over a tick; perf's count
    # where it is higher still.
    proc_cpu = $6 / 1e9
    if ($5 / tick > proc_cpu + 1 / tick) proc_cpu = $5 / tick
    cpu = ($8 / 1e9 > proc_cpu) ? $8 / 1e9 : proc_cpu
    cpu_hour[row] = cpu * 3600 / window
    wakeups[row] = ($9 > $7 ? $9 : $7) * 60 / window
    wake[row] = $10
    if ($1 == "minimal") base = row

    source = sprintf("%s: /proc %.2f s CPU per hour, %.1f switches per minute", label[row],
        proc_cpu * 3600 / window, $7 * 60 / window)
    if ($8 >= 0)
        source = source sprintf("; perf %.2f s, %.1f", $8 / 1e9 * 3600 / window, $9 * 60 / window)
    print source > sources
    printf "\"%s\" %.2f %.3f\n", chart_label[row], rss[row], cpu_hour[row] > data
}

function ratio(value, floor) {
    return (base && floor > 0) ? sprintf(" (%.1f×)", value / floor) : ""
}

END {
    print "| | RSS | PSS | threads | CPU per hour | wakeups per minute | one wake |" > table
    print "|---|---|---|---|---|---|---|" > table
    for (r = 1; r <= row; r++) {
        if (wake[r] == "-")
            w = "—"
        else
            w = sprintf("%s µs%s", wake[r], wake[base] == "-" ? "" : ratio(wake[r], wake[base]))
        printf "| %s | %.1f MiB%s | %.2f MiB%s | %d | %.2f s%s | %.1f%s | %s |\n",
            label[r], rss[r], ratio(rss[r], rss[base]), pss[r], ratio(pss[r], pss[base]),
            threads[r], cpu_hour[r], ratio(cpu_hour[r], cpu_hour[base]),
            wakeups[r], ratio(wakeups[r], wakeups[base]), w > table
    }
}
