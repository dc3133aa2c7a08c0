# The chart of bench/run.rb: one bar per ratio (median, whiskers min-max), the goal as a red
# mark. Run as: gnuplot -e "data='ratios.tsv'; output='ratios.png'; rows=N; xmax=X" bench/ratios.gp
# Columns of data: row, label, median, min, max, goal (NaN if none), bar colour.
set terminal pngcairo size 1100,(170 + 34 * rows) font "sans,10"
set output output
set datafile separator "\t"
set title "kalvera time / baseline time in the same run (lower is faster)\nbar: median, whiskers: min-max over the rounds"
set xlabel "time ratio"
set style fill solid 0.85 border -1
set grid xtics
set xrange [0:xmax]
set yrange [rows - 0.5:-0.5]
set ytics nomirror noenhanced
set xtics nomirror
set key inside bottom right vertical box opaque samplen 2
set arrow from first 1, graph 0 to first 1, graph 1 nohead dashtype 2 lc rgb "#555555"
plot data using 3:1:(0):3:($1 - 0.32):($1 + 0.32):7:ytic(2) with boxxyerror lc rgb variable notitle, \
     '' using 3:1:4:5 with xerrorbars lc rgb "#000000" pointsize 0 notitle, \
     '' using 6:($1 - 0.42):(0):(0.84) with vectors nohead lc rgb "#D50000" lw 3 title "goal", \
     '' using 5:1:(sprintf(" %.2f", $3)) with labels left offset 0.5, 0 font ",9" notitle, \
     NaN with boxes lc rgb "#2E7D32" title "goal met", \
     NaN with boxes lc rgb "#C62828" title "goal not met", \
     NaN with boxes lc rgb "#1565C0" title "no goal", \
     NaN with boxes lc rgb "#9E9E9E" title "reference"
