# The interpreters the suite runs on (script/interpreters): where each one is, where the
# extension built for it lands, and one runner that runs the suite there and reports its counts.
require "fileutils"
require "rbconfig"
require "shellwords"
require "tmpdir"

module KalveraInterpreters
  ROOT = File.expand_path("..", __dir__)
  CACHE = ENV.fetch("KALVERA_CACHE", "/var/cache/kalvera")
  TABLE = File.join(ROOT, "script", "interpreters")
  SUMMARY = File.join(ROOT, "tmp", "suite-summary.txt")
  EXT_NAME = "kalvera"

  Interpreter = Struct.new(:name, :version, :platform, :prefix, :runs) do
    def windows?
      platform.end_with?("mingw32")
    end

    def wine?
      runs.start_with?("wine")
    end

    def ruby18?
      version < "1.9"
    end

    # Debian's own ruby has no prefix of ours.
    def ruby
      return RbConfig.ruby if prefix == "-"

      File.join(CACHE, prefix, "bin", windows? ? "ruby.exe" : "ruby")
    end

    def label
      "#{name} (Ruby #{version}, #{platform}#{wine? ? ", under #{runs}" : ""})"
    end

    # Where the extension built for this interpreter is loaded from.
    def ext_dir
      return File.join(ROOT, "lib") if prefix == "-"
      return File.join(ROOT, "tmp", "windows-lib", "#{platform}-#{version}") if windows?

      File.join(ROOT, "tmp", platform, EXT_NAME, version)
    end

    def dll
      File.join(ext_dir, "#{EXT_NAME}.so")
    end
  end

  extend Rake::FileUtilsExt
  module_function

  def all
    @all ||= File.readlines(TABLE).map { |line| line.sub(/#.*/, "").split }.reject(&:empty?).map do |fields|
      raise "#{TABLE}: a row needs 5 columns: #{fields.join(" ")}" unless fields.size == 5

      Interpreter.new(*fields)
    end
  end

  def find(name)
    all.find { |i| i.name == name } or raise "no interpreter #{name} in #{TABLE}"
  end

  # Why the suite cannot run on this interpreter here, or nil when it can.
  def unavailable(interpreter, wine_arch)
    if interpreter.wine?
      return "script/setup-windows has not run" unless wine_arch
      return "this kernel cannot run 32-bit x86 programs, so wine32 cannot run" if interpreter.runs == "wine32" && wine_arch != "win32"
      return "wine32 runs here, so the x64 fallback is not needed" if interpreter.runs == "wine64" && wine_arch == "win32"
    end
    return "#{interpreter.ruby} is not built (script/setup-windows builds it)" unless built?(interpreter)

    nil
  end

  # Under CI every interpreter must be there (a missing release tarball included); elsewhere
  # a missing one is said in one line and the rest runs.
  def built?(interpreter)
    return true if File.exist?(interpreter.ruby)
    abort "#{interpreter.label}: #{interpreter.ruby} is missing (CI=true)" if ENV["CI"] == "true"

    @said_missing ||= {}
    puts "==> #{interpreter.label}: not built (script/setup-windows builds it)" unless @said_missing[interpreter.name]
    @said_missing[interpreter.name] = true
    false
  end

  # The runs/tests line minitest and test/unit print last, with the shim's skip count.
  COUNTS = /^(\d+ (?:runs|tests), \d+ assertions, .*)$/.freeze
  SKIPS = /^(\d+ skip(?:s|ped)\b.*)$/.freeze

  def record(interpreter, outcome)
    FileUtils.mkdir_p(File.dirname(SUMMARY))
    File.open(SUMMARY, "a") { |f| f.puts "#{interpreter.label}: #{outcome}" }
  end

  # Runs the suite on a native interpreter or, through the block, under wine; streams the output
  # and records the interpreter's counts. Answers whether it passed.
  def run_suite(interpreter, command, chdir:, env: {})
    puts "\n==> test suite on #{interpreter.label}"
    counts = skips = nil
    status = nil
    IO.popen(env, command, chdir: chdir, in: File::NULL, err: %i[child out]) do |io|
      io.each_line do |line|
        line = line.delete("\r")
        $stdout.write(line)
        $stdout.flush
        counts = Regexp.last_match(1) if line =~ COUNTS
        skips = Regexp.last_match(1) if line =~ SKIPS
      end
      io.close
      status = $?
    end
    passed = status.success? && counts
    summary = counts ? [counts, interpreter.ruby18? ? skips : nil].compact.join("; ") : "no counts printed"
    record(interpreter, "#{passed ? "passed" : "FAILED"}: #{summary}")
    passed
  end

  # The test files, loaded by one -e script both Ruby 1.8 and 3.x read; what follows "--" is
  # left in ARGV for the test framework (TESTOPTS).
  LOADER = 'i = ARGV.index("--"); files = ARGV.slice!(0, i); ARGV.shift; ' \
           "files.each { |f| require File.expand_path(f) }"

  def test_files(base = ROOT)
    Dir.glob("test/**/test_*.rb", base: base).sort
  end

  def suite_args(*load_path)
    [*load_path.flat_map { |dir| ["-I", dir] }, "-e", LOADER, *test_files, "--", *ENV.fetch("TESTOPTS", "").shellsplit]
  end

  # Guards CI against a wedged suite; far above a normal run.
  SUITE_TIMEOUT = ENV.fetch("KALVERA_SUITE_TIMEOUT", "1800")

  # The exit tests run the embedding host built against the same interpreter.
  def run_native(interpreter)
    host = KalveraHost.build(interpreter.ruby)
    command = ["timeout", "--kill-after=30", SUITE_TIMEOUT, interpreter.ruby, "-w", *suite_args(interpreter.ext_dir, "test")]
    run_suite(interpreter, command, chdir: ROOT, env: { "KALVERA_EMBED_HOST" => host })
  end

  # Builds the extension with the interpreter's own mkmf, as installing the gem there would.
  def compile_native(interpreter)
    dir = interpreter.ext_dir
    mkdir_p dir
    extconf = File.join(ROOT, "utf8_support", "extconf.rb")
    sources = Dir.glob(File.join(ROOT, "utf8_support", "*.{cpp,h,rb}"))
    makefile = File.join(dir, "Makefile")
    if !File.exist?(makefile) || File.mtime(makefile) < File.mtime(extconf)
      sh interpreter.ruby, extconf, chdir: dir, out: File::NULL
    end
    # mkmf's Makefile knows no header dependencies.
    rm_f interpreter.dll if sources.any? { |s| File.exist?(interpreter.dll) && File.mtime(s) > File.mtime(interpreter.dll) }
    sh "make", "-s", "-C", dir, out: File::NULL
  end

  def reset_summary
    rm_f SUMMARY
  end

  def print_summary
    return unless File.exist?(SUMMARY)

    puts "\n==> suites by interpreter"
    File.readlines(SUMMARY).each { |line| puts "  #{line}" }
  end
end

namespace :compile do
  desc "Build the extension for Linux Ruby 1.8.7 with that interpreter's own mkmf"
  task :ruby18 do
    KalveraInterpreters.compile_native(KalveraInterpreters.find("linux-1.8.7"))
  end
end

namespace :test do
  desc "Run the suite on Linux Ruby 1.8.7 (test/unit), built from the release tarball"
  task :ruby18 do
    k = KalveraInterpreters
    interpreter = k.find("linux-1.8.7")
    reason = k.unavailable(interpreter, "native")
    if reason
      puts "==> #{interpreter.label}: suite NOT RUN: #{reason}"
      k.record(interpreter, "NOT RUN: #{reason}")
      next
    end
    Rake::Task["compile:ruby18"].invoke
    k.run_native(interpreter) or abort "the suite failed on #{interpreter.label}"
  end

  desc "Run the suite on Linux Ruby 3.1 through the same runner as the others"
  task linux: :compile do
    k = KalveraInterpreters
    k.run_native(k.find("linux-3.1")) or abort "the suite failed on #{k.find("linux-3.1").label}"
  end

  desc "Every suite on every interpreter, the sanitizer, fuzz and memcheck runs; one summary at the end"
  task :all do
    k = KalveraInterpreters
    k.reset_summary
    failed = []
    %w[test:linux check:windows_macros test:ruby18 test:asan fuzz:ci valgrind test:windows windows:package].each do |name|
      Rake::Task[name].invoke
    rescue SystemExit, StandardError => e
      warn "#{name} failed: #{e.message}"
      failed << name
    end
    k.print_summary
    abort "failed: #{failed.join(", ")}" unless failed.empty?
  end
end
