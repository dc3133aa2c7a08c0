# `rake bench`: runs every case of bench/cases.rb in its own process, on each interpreter rake
# hands over (Ruby 3.1 and 1.8.7), prints the Markdown report and writes it to BENCHMARKS.md,
# with the ratio chart in bench/ratios.png. This driver itself runs on Ruby 3.1.
#
#   KALVERA_BENCH_QUICK=1     5 rounds at a tenth of the sizes
#   KALVERA_BENCH_ROUNDS=N    rounds per case (at least 5)
#   KALVERA_BENCH_SCALE=F     multiplies every count and size
#   KALVERA_BENCH_CASES=1,3   only these cases
#   KALVERA_BENCH_DIR=path    where the cases put their files (default: the temporary directory)
#   KALVERA_BENCH_OUT=path    where the report and the chart go; by default the repository for a
#                             run of every case at full size on every interpreter, else a
#                             temporary directory
#   KALVERA_BENCH_REPLAY=path re-renders the report from the raw figures an earlier run kept
# Set by rakelib/bench.rake:
#   KALVERA_BENCH_RUBIES      JSON list of {"name", "ruby", "ext_dir"}: the interpreters to run
#                             the cases on and where each loads kalvera.so from (default: this
#                             ruby and lib/)
#   KALVERA_BENCH_MISSING     interpreters that could not run, one "name: reason" a line
require_relative "harness"
require "etc"
require "json"
require "rbconfig"

module KalveraBench
  ROOT = File.expand_path("..", __dir__)
  CASE_IDS = %w[1 2 3 4 5 6].freeze

  Stats = Struct.new(:median, :min, :max) do
    def self.of(values)
      sorted = values.sort
      mid = sorted.size / 2
      median = sorted.size.odd? ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2.0
      new(median, sorted.first, sorted.last)
    end
  end

  Interpreter = Struct.new(:name, :ruby, :ext_dir)

  module Driver
    module_function

    def main
      out_dir = output_dir
      ids = (ENV["KALVERA_BENCH_CASES"] || CASE_IDS.join(",")).split(",").map(&:strip)
      results = if ENV["KALVERA_BENCH_REPLAY"]
                  JSON.parse(File.read(ENV["KALVERA_BENCH_REPLAY"]))
                else
                  warn "kalvera bench: #{Settings.rounds} rounds, scale #{Settings.scale}, files in #{Settings.dir}, " \
                       "on #{interpreters.map(&:name).join(' and ')}"
                  # Case by case on every interpreter, so both meet the machine in the same state.
                  measured = ids.flat_map { |id| interpreters.map { |i| run_case(id, i) } }
                  raw = File.join(Settings.dir, "kalvera-bench-raw.json")
                  File.write(raw, JSON.pretty_generate(measured))
                  warn "kalvera bench: raw figures in #{raw}"
                  measured
                end
      report = Report.new(results, chart_path(out_dir), ENV["KALVERA_BENCH_REPLAY"] ? [] : missing)
      markdown = report.markdown
      puts markdown
      File.write(File.join(out_dir, "BENCHMARKS.md"), report.document)
      drawn = report.chart(File.join(Settings.dir, "kalvera-bench-ratios.tsv"))
      warn "kalvera bench: wrote #{File.join(out_dir, 'BENCHMARKS.md')}#{drawn ? " and #{drawn}" : ''}"
    end

    def interpreters
      @interpreters ||= if ENV["KALVERA_BENCH_RUBIES"]
                          JSON.parse(ENV["KALVERA_BENCH_RUBIES"]).map { |i| Interpreter.new(i["name"], i["ruby"], i["ext_dir"]) }
                        else
                          [Interpreter.new("ruby-#{RUBY_VERSION}", RbConfig.ruby, File.join(ROOT, "lib"))]
                        end
    end

    def missing
      ENV.fetch("KALVERA_BENCH_MISSING", "").lines.map(&:strip).reject(&:empty?)
    end

    # Only a full run on every interpreter may replace the committed figures.
    def output_dir
      full = !Settings.quick? && Settings.scale == 1 && !ENV["KALVERA_BENCH_CASES"] && !ENV["KALVERA_BENCH_REPLAY"] &&
             missing.empty?
      dir = ENV["KALVERA_BENCH_OUT"] || (full ? ROOT : File.join(Settings.dir, "kalvera-bench-report"))
      FileUtils.mkdir_p(File.join(dir, "bench"))
      dir
    end

    def chart_path(out_dir)
      File.join(out_dir, "bench", "ratios.png")
    end

    def run_case(id, interpreter)
      warn "case #{id} on #{interpreter.name} ..."
      json = IO.popen([interpreter.ruby, "-I", interpreter.ext_dir, File.join(__dir__, "cases.rb"), id], &:read)
      raise "case #{id} failed on #{interpreter.name} (#{$?})" unless $?.success?
      JSON.parse(json).merge("interpreter" => interpreter.name)
    end
  end

  # Tables, notes and chart from the cases' raw figures, one row per interpreter and comparison.
  class Report
    GOAL_COLOR = 0x2E7D32
    MISSED_COLOR = 0xC62828
    REPORT_COLOR = 0x1565C0
    REFERENCE_COLOR = 0x9E9E9E

    def initialize(results, chart, missing = [])
      # Raw figures from before the cases ran on more than one interpreter name none.
      @results = results.map { |r| { "ruby" => RUBY_VERSION, "clock" => "monotonic" }.merge(r) }
      @chart = chart
      @missing = missing
    end

    def markdown
      [not_run, case_list, ratio_table, memory_table, goal_notes.map { |line| "- #{line}" }.join("\n")].compact.join("\n\n")
    end

    def document
      chart_link = "bench/ratios.png"
      <<~MD
        # Benchmarks

        Written by `rake bench` (bench/run.rb) on #{Time.now.utc.strftime('%Y-%m-%d')}: #{machine}.
        #{rounds} rounds per case after one warm-up round, each case in its own Ruby process, #{order_text}.
        #{not_run ? "\n#{not_run}\n" : ''}
        Ratio = kalvera time / baseline time, both measured in the same round inside the same process
        (`cp` as a whole process), #{clock_text}; median and min-max over the rounds.
        Below 1, kalvera is faster. Times are in milliseconds and only place the ratios; quote the ratios.
        Each interpreter's ratios compare kalvera built for it with that interpreter's own IO.

        #{case_list}

        #{summary_table}

        ## Times and ratios

        #{ratio_table}

        ![Time ratios, kalvera / baseline](#{chart_link})

        #{memory_table}

        ## Goals

        #{goal_notes.map { |line| "- #{line}" }.join("\n")}

        ## What is measured

        - Case 1: `writer.puts(line)` with a 60-byte line (61 bytes with its newline), against
          `File#puts` on a `File.open(path, "w")`, and against one `IO#write` of all the lines
          joined beforehand, the floor for writing this text. The reference row runs the same loop
          calling `writer.valid?`, a C method that writes nothing.
        - Case 2: `writer << line` where the line carries its "\\n", against `IO#write` of the same String.
        - Case 3: `FileCopier.new(source, new_name)` against `IO.copy_stream(source, new_name)`,
          `FileUtils.copy_file` and a `cp` process. The source is on disk and in the page cache for all.
          The reference row times `IO.copy_stream` against itself: the spread noise alone gives.
        - Case 4: the same copies of 4 KiB files, one new directory per run. The reference row
          writes the new files from memory (open, write, close), less than any copy does. The
          files stay until the case ends: ext4 without a journal does not reuse an inode deleted
          less than a minute ago (six while not yet written back) and scans past each one when it
          creates a file, so creating files right after many deletions is several times slower,
          for every runner alike. On such a file system the figures of this case also depend on
          what was deleted on it shortly before.
        - Case 5: `FileCopier.exist?(path)` (an open for reading and writing, then a close) against
          `File.writable?(path)` on the same existing file.
        - Case 6: growth of the peak resident set (VmHWM, reset before the work) in a fresh process.
        #{ruby18_note}- Every run writes a new path; both sides open, write and close their files inside the timed
          region and neither syncs. Between runs, outside the clock, the run's output is deleted
          (case 4: at the end of the case), `sync` runs and the garbage collector runs, so every run
          starts from the same state.
        - The machine is shared and noisy: the min-max columns show how much.
      MD
    end

    def rounds
      @results.map { |r| r["runners"] && r["runners"].values.first.size }.compact.first
    end

    # The interpreters in the order they ran.
    def rubies
      @results.map { |r| r["ruby"] }.uniq
    end

    def order_text
      names = rubies.map { |v| "Ruby #{v}" }
      return "on #{names.first}" if names.size == 1
      "on #{names[0..-2].join(', ')} and then #{names.last} before the next case"
    end

    def clock_text
      clocks = @results.map { |r| [r["ruby"], r["clock"]] }.uniq
      monotonic = clocks.select { |_, clock| clock == "monotonic" }.map(&:first)
      wall = clocks.reject { |_, clock| clock == "monotonic" }.map(&:first)
      return "timed with the monotonic clock" if wall.empty?
      return "timed with `Time.now`" if monotonic.empty?
      "timed with the monotonic clock (on Ruby #{wall.join(', ')}, which has none, with `Time.now`)"
    end

    def ruby18_note
      old = rubies.select { |v| v < "1.9" }
      return "" if old.empty?
      <<~NOTE.chomp.gsub("\n", "\n  ") + "\n"
        - Ruby #{old.join(', ')} has no `IO.copy_stream`: its runners, and the comparisons with them, are
        not run there (the case 6 copies have no baseline). Its `FileUtils.copy_file` is a Ruby loop of
        `read` and `write` in blocks of the file system's block size. It has no monotonic clock
        either: its runs are timed with `Time.now` (gettimeofday, microseconds).
      NOTE
    end

    def not_run
      return nil if @missing.empty?
      @missing.map { |line| "Not run on #{line}." }.join("\n")
    end

    def case_list
      @results.uniq { |r| r["id"] }.map { |r| "- Case #{r['id']}: #{r['title']}" }.join("\n")
    end

    # Every comparison of every interpreter, the interpreters of one comparison side by side,
    # in the order the cases define them.
    def comparisons
      @comparisons ||= begin
        all = @results.flat_map do |r|
          (r["comparisons"] || []).each_with_index.map do |c, i|
            c.merge("case" => r["id"], "runners" => r["runners"], "ruby" => r["ruby"], "order" => i)
          end
        end
        all.sort_by.with_index { |c, i| [CASE_IDS.index(c["case"]) || 99, c["order"], rubies.index(c["ruby"]), i] }
      end
    end

    def measured
      comparisons.reject { |c| c["missing"] }
    end

    # The ratios alone, as the README quotes them.
    def summary_table
      rows = comparisons.reject { |c| c["kind"] == "reference" }.map do |c|
        ["#{c['case']}", "#{c['contender']} vs #{c['baseline']}", c["ruby"], ratio_cell(c), goal_text(c), status(c)]
      end
      return nil if rows.empty?
      table(["Case", "kalvera vs baseline", "Ruby", "Ratio (min-max)", "Goal", ""], rows)
    end

    def ratio_table
      rows = comparisons.map do |c|
        a = c["missing"] ? nil : Stats.of(c["runners"][c["contender"]])
        b = c["missing"] ? nil : Stats.of(c["runners"][c["baseline"]])
        ["#{c['case']}", c["ruby"], c["contender"], c["baseline"], times(a), times(b), ratio_cell(c), goal_text(c), status(c)]
      end
      return nil if rows.empty?
      table(["Case", "Ruby", "Contender", "Baseline", "Contender ms", "Baseline ms", "Ratio", "Goal", ""], rows)
    end

    def memory_results
      @results.select { |r| r["memory"] }
    end

    def memory_table
      return nil if memory_results.empty?
      rows = memory_results.flat_map do |r|
        r["memory"].map { |m| [m, r] }
      end
      rows = rows.sort_by.with_index { |(m, r), i| [r["memory"].index(m), rubies.index(r["ruby"]), i] }.map do |m, r|
        all = r["memory"]
        baseline = m["baseline"] || "none: no #{m['missing']}"
        [m["label"], r["ruby"], mib(m["kalvera"]), baseline, m["baseline"] ? mib(m["baseline_bytes"]) : "",
         memory_goal(m, all), memory_status(m, all)]
      end
      table(["Case 6: peak RSS growth during", "Ruby", "kalvera", "Baseline", "Baseline growth", "Goal", ""], rows)
    end

    def goal_notes
      notes = comparisons.select { |c| c["kind"] == "goal" }.map do |c|
        head = "Case #{c['case']}, #{c['contender']} vs #{c['baseline']}, Ruby #{c['ruby']}"
        next "#{head}: not run, as Ruby #{c['ruby']} has no #{c['missing']}." if c["missing"]
        ratio = Stats.of(c["ratios"])
        met = meets?(ratio.median, c["goal"])
        line = "#{head}: #{'%.2f' % ratio.median} against a goal of #{c['goal']}: #{met ? 'met' : 'not met'}."
        why = reason(c, met)
        why ? "#{line} #{why}" : line
      end
      memory_results.each { |r| notes.concat(memory_notes(r["memory"], r["ruby"])) }
      notes
    end

    def memory_notes(all, ruby)
      notes = all.select { |m| m["limit"] }.map do |m|
        "Case 6, #{m['label']}, Ruby #{ruby}: peak RSS growth #{mib(m['kalvera'])} against a limit of " \
          "#{m['limit'] >> 20} MiB: #{memory_status(m, all)}."
      end
      puts_rows = all.select { |m| m["kind"] == "puts" }
      if puts_rows.size > 1
        figures = puts_rows.map { |m| "#{mib(m['kalvera'])} for #{m['label']}" }.join(", ")
        notes << "Case 6, writer, Ruby #{ruby}: peak RSS growth #{figures}: independent of the line count, " \
                 "#{memory_status(puts_rows.last, all)}."
      end
      notes
    end

    # What the reference rows measured in the same run say about a goal: why it is out of reach,
    # or how much of a ratio is noise.
    def reason(c, met)
      reference = measured.find do |r|
        r["case"] == c["case"] && r["ruby"] == c["ruby"] && r["kind"] == "reference" && r["baseline"] == c["baseline"]
      end
      return nil unless reference
      share = Stats.of(reference["ratios"]).median
      case c["case"]
      when "1"
        return nil if met
        "The loop of the same number of calls to `writer.valid?`, a C method that writes nothing, " \
        "already takes #{'%.2f' % share} times the single write: the Ruby loop and one C method call " \
        "per line cost more than the goal leaves, whatever the writer does."
      when "3"
        "The baseline timed against itself in the same rounds gives #{'%.2f' % share} " \
        "(#{'%.2f' % Stats.of(reference['ratios']).min}-#{'%.2f' % Stats.of(reference['ratios']).max}): " \
        "both sides hand the whole file to the kernel in one copy_file_range call, and the kernel's " \
        "copy of the pages is all the time there is; what is left between them is the machine's noise."
      when "4"
        return nil if met
        bound = "Writing the same new files from memory, with no source to open or read and no " \
                "permissions or times to carry, takes #{'%.2f' % share} of the `FileUtils.copy_file` time"
        if meets?(share, c["goal"])
          "#{bound}. The copy also opens, reads and closes the source and sets the new file's " \
          "mode and times: nine system calls a file where writing from memory makes four."
        else
          "#{bound}: even less work than a copy misses the goal."
        end
      end
    end

    # Writes the chart's data and draws it with gnuplot; answers the image's path, or nil.
    # One bar per comparison and interpreter, the interpreters of a comparison next to each other.
    def chart(data_path)
      rows = measured
      File.open(data_path, "w") do |f|
        rows.each_with_index do |c, i|
          ratio = Stats.of(c["ratios"])
          label = "#{c['case']}: #{c['contender'].sub(/\Akalvera /, '')} / #{c['baseline']}  (#{c['ruby']})"
          goal = c["goal"] || "NaN"
          color = case c["kind"]
                  when "goal" then meets?(ratio.median, c["goal"]) ? GOAL_COLOR : MISSED_COLOR
                  when "reference" then REFERENCE_COLOR
                  else REPORT_COLOR
                  end
          f.puts [i, label, ratio.median, ratio.min, ratio.max, goal, color, rubies.index(c["ruby"])].join("\t")
        end
      end
      unless system("gnuplot", "--version", out: File::NULL, err: File::NULL)
        warn "kalvera bench: gnuplot not found, no chart (apt-get install gnuplot-nox)"
        return nil
      end
      script = File.join(__dir__, "ratios.gp")
      values = rows.flat_map { |c| c["ratios"] + [c["goal"]].compact }
      xmax = values.max * 2.2 # room for the figure after the whisker, on a logarithmic axis
      xmin = axis_floor(values.min * 0.9)
      names = rubies.each_with_index.map { |v, i| "ruby#{i}='Ruby #{v}'" }.join("; ")
      settings = "data='#{data_path}'; output='#{@chart}'; rows=#{rows.size}; xmin=#{xmin}; xmax=#{xmax}; #{names}"
      ok = system("gnuplot", "-e", settings, script)
      ok ? @chart : nil
    ensure
      File.delete(data_path) if data_path && File.exist?(data_path)
    end

    private

    # The largest of 1, 2 and 5 times a power of ten not above the value: where the bars start.
    def axis_floor(value)
      power = 10.0**Math.log10(value).floor
      [5, 2, 1].map { |step| step * power }.find { |tick| tick <= value }
    end

    # Judged on the two decimals the report shows, so a printed 1.00 never reads "not met".
    def meets?(ratio, goal)
      ratio.round(2) <= goal
    end

    def table(header, rows)
      lines = ["| #{header.join(' | ')} |", "|#{header.map { '---' }.join('|')}|"]
      rows.each { |r| lines << "| #{r.join(' | ')} |" }
      lines.join("\n")
    end

    def ratio_cell(c)
      return "not run: no #{c['missing']}" if c["missing"]
      ratio = Stats.of(c["ratios"])
      "**#{'%.2f' % ratio.median}** (#{'%.2f' % ratio.min}-#{'%.2f' % ratio.max})"
    end

    def times(stats)
      return "" unless stats
      "#{ms(stats.median)} (#{ms(stats.min)}-#{ms(stats.max)})"
    end

    def ms(seconds)
      value = seconds * 1000
      value >= 100 ? value.round.to_s : format("%.1f", value)
    end

    def mib(bytes)
      bytes ? format("%.2f MiB", bytes / 1048576.0) : "n/a"
    end

    def goal_text(c)
      case c["kind"]
      when "goal" then "<= #{c['goal']}"
      when "reference" then "reference"
      else ""
      end
    end

    def status(c)
      return "" unless c["kind"] == "goal"
      return "not run" if c["missing"]
      ratio = Stats.of(c["ratios"])
      return "not met" unless meets?(ratio.median, c["goal"])
      meets?(ratio.max, c["goal"]) ? "met, every round" : "met"
    end

    def memory_goal(m, all)
      return "< #{m['limit'] >> 20} MiB" if m["limit"]
      first = all.find { |x| x["kind"] == m["kind"] }
      m.equal?(first) ? "" : "as for #{first['label']} (within 1 MiB)"
    end

    def memory_status(m, all)
      return "n/a" unless m["kalvera"]
      return(m["kalvera"] < m["limit"] ? "met" : "not met") if m["limit"]
      first = all.find { |x| x["kind"] == m["kind"] }
      return "" if m.equal?(first)
      (m["kalvera"] - first["kalvera"]).abs <= (1 << 20) ? "met" : "not met"
    end

    def machine
      cpu = File.exist?("/proc/cpuinfo") ? File.foreach("/proc/cpuinfo").grep(/^model name/).first.to_s.split(":", 2).last.to_s.strip : ""
      kernel = `uname -sr 2>/dev/null`.strip
      fs = IO.popen(["df", "-T", Settings.dir], err: File::NULL, &:read).lines.last.to_s.split[1]
      versions = @results.map { |r| r["patchlevel"] ? "#{r['ruby']}-p#{r['patchlevel']}" : r["ruby"] }.uniq
      parts = []
      parts << cpu unless cpu.empty?
      parts << "#{Etc.nprocessors} cores"
      parts << kernel unless kernel.empty?
      parts << "Ruby #{versions.join(' and ')}"
      parts << "files on #{fs}" if fs
      parts.join(", ")
    end
  end
end

KalveraBench::Driver.main if $PROGRAM_NAME == __FILE__
