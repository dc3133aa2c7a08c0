# The chart of bench/run.rb: one bar per ratio and interpreter (median, whiskers min-max), the
# goal as a red mark; the first interpreter's bars solid, the second's hatched. The ratio axis
# is logarithmic: Ruby 1.8.7's ratios reach from a tenth to tens, and 0.5 is as far from 1 as 2.
#   gnuplot -e "data='ratios.tsv'; output='ratios.png'; rows=N; xmin=A; xmax=B; ruby0='Ruby 3.1.2'; ruby1='Ruby 1.8.7'" bench/ratios.gp
# Columns of data: row, label, median, min, max, goal (NaN if none), bar colour, interpreter (0, 1).
set terminal pngcairo size 1200,(170 + 28 * rows) font "sans,10"
set output output
set datafile separator "\t"
set title "kalvera time / baseline time in the same run (lower is faster)\nbar: median, whiskers: min-max over the rounds"
set xlabel "time ratio (logarithmic)"
set logscale x
set xtics (0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100)
set grid xtics
set xrange [xmin:xmax]
set yrange [rows - 0.5:-0.5]
set ytics nomirror noenhanced
set xtics nomirror
set mxtics default
set key outside right top vertical box samplen 2
set arrow from first 1, graph 0 to first 1, graph 1 nohead dashtype 2 lc rgb "#555555"
if (!exists("ruby0")) ruby0 = "Ruby"
if (!exists("ruby1")) ruby1 = ""
plot data using ($8 == 0 ? $3 : NaN):1:(xmin):3:($1 - 0.32):($1 + 0.32):7:ytic(2) with boxxyerror fs solid 0.85 border -1 lc rgb variable notitle, \
     '' using ($8 == 1 ? $3 : NaN):1:(xmin):3:($1 - 0.32):($1 + 0.32):7:ytic(2) with boxxyerror fs pattern 4 border -1 lc rgb variable notitle, \
     '' using 3:1:4:5 with xerrorbars lc rgb "#000000" pointsize 0 notitle, \
     '' using 6:($1 - 0.42):(0):(0.84) with vectors nohead lc rgb "#D50000" lw 3 title "goal", \
     '' using 5:1:(sprintf(" %.2f", $3)) with labels left offset 0.5, 0 font ",9" notitle, \
     NaN with boxes fs solid 0.85 lc rgb "#2E7D32" title "goal met", \
     NaN with boxes fs solid 0.85 lc rgb "#C62828" title "goal not met", \
     NaN with boxes fs solid 0.85 lc rgb "#1565C0" title "no goal", \
     NaN with boxes fs solid 0.85 lc rgb "#9E9E9E" title "reference", \
     NaN with boxes fs solid 0.85 lc rgb "#616161" title ruby0, \
     NaN with boxes fs pattern 4 lc rgb "#616161" title ruby1
