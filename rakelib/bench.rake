# `rake bench`: kalvera against Ruby's own IO, FileUtils and cp on this machine (bench/run.rb).
# Settings go through the environment, e.g. `rake bench KALVERA_BENCH_ROUNDS=9`.
require "rbconfig"

module KalveraBenchTask
  extend Rake::FileUtilsExt
  module_function

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

  def run(env = {})
    ensure_gnuplot
    sh env, RbConfig.ruby, File.join(__dir__, "..", "bench", "run.rb")
  end
end

desc "Benchmark against Ruby's IO, FileUtils and cp: prints the table, writes BENCHMARKS.md and bench/ratios.png"
task bench: :compile do
  KalveraBenchTask.run
end

namespace :bench do
  desc "Quick benchmark: 5 rounds at a tenth of the sizes, report in the temporary directory"
  task quick: :compile do
    KalveraBenchTask.run("KALVERA_BENCH_QUICK" => "1")
  end
end
