# `rake bench`: kalvera against Ruby's own IO, FileUtils and cp on this machine (bench/run.rb),
# on Ruby 3.1 and on Ruby 1.8.7 (script/interpreters), each against its own IO.
# Settings go through the environment, e.g. `rake bench KALVERA_BENCH_ROUNDS=9`;
# KALVERA_BENCH_INTERPRETERS=linux-3.1 picks interpreters by name (a partial run: the report
# goes to the temporary directory).
require "json"
require "rbconfig"

module KalveraBenchTask
  extend Rake::FileUtilsExt
  module_function

  INTERPRETERS = %w[linux-3.1 linux-1.8.7].freeze

  # The chart needs gnuplot; on a fresh Debian machine run as root, install it as the other
  # tasks install their tools. Elsewhere the report is written without the chart.
  def ensure_gnuplot
    return if system("gnuplot", "--version", out: File::NULL, err: File::NULL)
    return unless Process.uid.zero? && system("apt-get", "--version", out: File::NULL, err: File::NULL)

    env = { "DEBIAN_FRONTEND" => "noninteractive" }
    system(env, "apt-get", "update", "-qq") &&
      system(env, "apt-get", "install", "-y", "-qq", "--no-install-recommends", "gnuplot-nox", out: File::NULL) ||
      warn("apt-get install gnuplot-nox failed: the report will have no chart")
  end

  # The interpreters to run the cases on, each with its extension built, and a line for each
  # one that cannot run here. 3.1 is the one rake runs on, built by the compile task.
  def interpreters
    wanted = ENV.fetch("KALVERA_BENCH_INTERPRETERS", INTERPRETERS.join(",")).split(",").map(&:strip)
    missing = (INTERPRETERS - wanted).map { |name| "#{KalveraInterpreters.find(name).label}: not asked for" }
    usable = wanted.map { |name| KalveraInterpreters.find(name) }.select do |interpreter|
      abort "bench: #{interpreter.label}: the cases run on native interpreters only" if interpreter.wine?
      next true if interpreter.prefix == "-"

      unless File.exist?(interpreter.ruby)
        puts "==> bench: #{interpreter.label}: not built (no #{interpreter.ruby}): the Ruby 3.1 cases only"
        missing << "#{interpreter.label}: not built"
        next false
      end
      # The extension built with that interpreter's own mkmf, as the suite loads it.
      Rake::Task["compile:ruby18"].invoke
      true
    end
    [usable, missing]
  end

  def run(env = {})
    ensure_gnuplot
    usable, missing = interpreters
    rubies = usable.map { |i| { "name" => i.name, "ruby" => i.ruby, "ext_dir" => i.ext_dir } }
    env = env.merge("KALVERA_BENCH_RUBIES" => JSON.generate(rubies), "KALVERA_BENCH_MISSING" => missing.join("\n"))
    sh env, RbConfig.ruby, File.join(__dir__, "..", "bench", "run.rb")
  end
end

desc "Benchmark on Ruby 3.1 and 1.8.7 against their IO, FileUtils and cp: prints the table, writes BENCHMARKS.md and bench/ratios.png"
task bench: :compile do
  KalveraBenchTask.run
end

namespace :bench do
  desc "Quick benchmark: 5 rounds at a tenth of the sizes, report in the temporary directory"
  task quick: :compile do
    KalveraBenchTask.run("KALVERA_BENCH_QUICK" => "1")
  end
end
