# Evidence that the extension survives inside the host's process, on Linux: the suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, a bounded fuzz run of the UTF-8 converters,
# and a valgrind memcheck run (script/valgrind).
require "etc"
require "fileutils"
require "rbconfig"
require "shellwords"

module KalveraSanitize
  ROOT = File.expand_path("..", __dir__)
  SOURCES = File.join(ROOT, "utf8_support")
  ASAN_DIR = File.join(ROOT, "tmp", "asan")
  REPORTS = File.join(ASAN_DIR, "reports")
  FUZZ_DIR = File.join(ROOT, "tmp", "fuzz")
  SANITIZE = "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer".freeze
  # The fuzz target links the converters alone: no Ruby, no binding.
  FUZZ_SOURCES = %w[utf8_path.cpp os_posix.cpp].map { |f| File.join(SOURCES, f) }.freeze

  extend Rake::FileUtilsExt
  module_function

  def installed?(package)
    IO.popen(["dpkg-query", "-W", "-f=${Status}", package], err: File::NULL, &:read).end_with?(" installed")
  end

  # CI starts from a fresh machine as root: install what is missing, by Debian package name.
  def apt_install(*packages)
    missing = packages.reject { |p| installed?(p) }
    return if missing.empty?

    env = { "DEBIAN_FRONTEND" => "noninteractive" }
    system(env, "apt-get", "update", "-qq") or abort "apt-get update failed"
    system(env, "apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing, out: File::NULL) or
      abort "apt-get install #{missing.join(" ")} failed"
  end

  # GCC's runtime, matching the compiler that mkmf uses for the extension.
  def asan_runtime
    cxx = RbConfig::CONFIG["CXX"].split.first
    find = -> { IO.popen([cxx, "-print-file-name=libasan.so"], &:read).strip }
    path = find.call
    unless path.start_with?("/") && File.exist?(path)
      apt_install("libasan8", "libubsan1")
      path = find.call
    end
    abort "#{cxx} finds no libasan.so" unless path.start_with?("/") && File.exist?(path)
    File.realpath(path)
  end

  def asan_env
    FileUtils.mkdir_p(REPORTS)
    # Tests that drop root still must be able to write a report.
    File.chmod(0o1777, REPORTS)
    log = "log_path=#{File.join(REPORTS, "report")}"
    {
      # The interpreter is not linked with ASan, and its runtime must come first.
      "LD_PRELOAD" => asan_runtime,
      # detect_leaks=0: Ruby is not built with ASan and frees most of its heap only at exit,
      # if at all, so LeakSanitizer would bury us in the interpreter's exit leaks. Leaks in
      # our frames are checked by script/valgrind and by the fuzz target's own LeakSanitizer.
      # The rest are the defaults made explicit: stop at the first report, whatever frame.
      # Reports go to files, so a child whose output a test swallows still fails the run.
      "ASAN_OPTIONS" => "detect_leaks=0:halt_on_error=1:abort_on_error=0:#{log}",
      # GCC's UBSan runtime ignores log_path beside ASan's and writes to stderr: see run_scanning.
      "UBSAN_OPTIONS" => "print_stacktrace=1:halt_on_error=1"
    }
  end

  REPORT_LINE = /runtime error:|ERROR: (Address|Leak|UndefinedBehavior)Sanitizer|Sanitizer: CHECK failed/.freeze

  # Runs cmd with its output echoed as it comes; answers whether it succeeded and whether it
  # printed a sanitizer report (children of the suite write theirs to the same stderr).
  def run_scanning(env, *cmd)
    reported = false
    IO.popen(env, cmd, "rb", err: %i[child out]) do |io|
      io.each_line do |line|
        $stdout.write(line)
        $stdout.flush
        reported ||= REPORT_LINE.match?(line)
      end
    end
    [$?.success?, reported]
  end

  def build_asan_extension
    FileUtils.mkdir_p(ASAN_DIR)
    so = File.join(ASAN_DIR, "kalvera.so")
    Dir.chdir(ASAN_DIR) do
      config = RbConfig::CONFIG
      # Debian's flags kept, -O1 after their -O2 so reports point at the right lines.
      # No vptr check: it probes memory through a pipe, and where a test has used up every
      # descriptor it calls each object invalid. A freed object is ASan's to catch anyway.
      sanitize = "#{SANITIZE} -fno-sanitize=vptr"
      cxxflags = "#{config["CXXFLAGS"]} -O1 -g #{sanitize}"
      dldflags = "#{config["DLDFLAGS"]} #{sanitize}"
      sh RbConfig.ruby, File.join(SOURCES, "extconf.rb"), "--with-cxxflags=#{cxxflags}",
         "--with-dldflags=#{dldflags}", out: File::NULL
      # mkmf's Makefile knows no header dependencies: build every object afresh.
      FileUtils.rm_f(Dir.glob("*.o") + ["kalvera.so"])
      # Ruby raises with __builtin_longjmp, which ASan cannot intercept: frames it jumps over
      # keep their redzones poisoned on a stack Ruby reuses, and Ruby's own calls then draw
      # false reports. Only the binding's frames are jumped over; they get no stack redzones.
      File.write("asan.mk", "kalvera.o: CXXFLAGS += --param=asan-stack=0\n")
      sh "make", "-s", "-j#{Etc.nprocessors}", "-f", "Makefile", "-f", "asan.mk", out: File::NULL
    end
    # A build without instrumentation would pass every test and prove nothing.
    undefined = `nm -D --undefined-only #{so.shellescape}`
    %w[__asan_report_load __ubsan_handle_].each do |symbol|
      abort "#{so} is not instrumented (no #{symbol}*)" unless undefined.include?(symbol)
    end
    so
  end

  def print_reports_and_fail
    reports = Dir.glob(File.join(REPORTS, "report*")).sort
    return if reports.empty?

    reports.each { |r| warn "==> #{r}\n#{File.read(r)}" }
    abort "#{reports.size} sanitizer report(s) above"
  end

  def libfuzzer_build(target)
    ["clang++", "-std=c++17", "-g", "-O1", "-fsanitize=fuzzer,address,undefined",
     "-fno-sanitize-recover=all", "-fno-omit-frame-pointer", "-I#{SOURCES}",
     File.join(ROOT, "fuzz", "utf8_fuzz.cpp"), *FUZZ_SOURCES, "-o", target]
  end

  # The fuzz target, under libFuzzer when Debian's clang has it, else under the seeded random
  # driver with GCC's sanitizers. Answers the binary and whether it is libFuzzer's.
  def build_fuzzer
    FileUtils.mkdir_p(FUZZ_DIR)
    target = File.join(FUZZ_DIR, "utf8_fuzz")
    return [target, true] if system(*libfuzzer_build(target), err: File::NULL)

    apt_install("clang", "libclang-rt-dev")
    return [target, true] if system(*libfuzzer_build(target))

    warn "libFuzzer unavailable: falling back to the seeded random driver"
    target = File.join(FUZZ_DIR, "utf8_fuzz_random")
    sh "g++", "-std=c++17", "-g", "-O1", *SANITIZE.split, "-I#{SOURCES}",
       File.join(ROOT, "fuzz", "utf8_fuzz.cpp"), File.join(ROOT, "fuzz", "random_driver.cpp"),
       *FUZZ_SOURCES, "-o", target
    [target, false]
  end

  # Runs the target for `seconds` on the committed seeds; new inputs go to tmp/, so the seeds
  # in fuzz/corpus change only when someone commits a new one.
  def fuzz(seconds, jobs: 1)
    target, libfuzzer = build_fuzzer
    seeds = File.join(ROOT, "fuzz", "corpus")
    found = File.join(FUZZ_DIR, "corpus")
    artifacts = File.join(FUZZ_DIR, "artifacts") + "/"
    FileUtils.mkdir_p([found, artifacts])
    env = { "ASAN_OPTIONS" => "detect_leaks=1", "UBSAN_OPTIONS" => "print_stacktrace=1" }
    if libfuzzer
      args = ["-max_total_time=#{seconds}", "-timeout=10", "-rss_limit_mb=2048",
              "-dict=#{File.join(ROOT, "fuzz", "utf8.dict")}", "-artifact_prefix=#{artifacts}",
              "-print_final_stats=1"]
      args << "-fork=#{jobs}" if jobs > 1
      sh env, target, *args, found, seeds
    else
      sh env, target, "-seconds=#{seconds}", "-artifact_prefix=#{artifacts}", seeds
    end
  end
end

namespace :test do
  desc "Run the test suite against an ASan+UBSan build of the extension (tmp/asan)"
  task :asan do
    s = KalveraSanitize
    so = s.build_asan_extension
    env = s.asan_env
    FileUtils.rm_f(Dir.glob(File.join(s::REPORTS, "report*")))
    # The load path must pick tmp/asan/kalvera.so, not lib/kalvera.so.
    loaded = IO.popen(env, [RbConfig.ruby, "-I", s::ASAN_DIR, "-e",
                            'require "kalvera"; print $LOADED_FEATURES.grep(/kalvera\.so\z/).first'], &:read)
    abort "the suite would load #{loaded.inspect}, not #{so}" unless loaded == so

    tests = Dir.glob("test/**/test_*.rb", base: s::ROOT).sort
    # Loads the test files, then leaves only TESTOPTS in ARGV for minitest.
    loader = 'files = ARGV.shift(ARGV.index("--")); ARGV.shift; files.each { |f| require File.expand_path(f) }'
    passed, reported = Dir.chdir(s::ROOT) do
      s.run_scanning(env, RbConfig.ruby, "-w", "-I", s::ASAN_DIR, "-I", "test", "-e", loader, *tests,
                     "--", *ENV.fetch("TESTOPTS", "").shellsplit)
    end
    s.print_reports_and_fail
    abort "a sanitizer reported in the output above" if reported
    abort "the suite failed against the sanitized build" unless passed
  end
end

namespace :fuzz do
  desc "Fuzz the UTF-8 converters for FUZZ_SECONDS (60) on the committed seeds, as CI does"
  task :ci do
    KalveraSanitize.fuzz(Integer(ENV.fetch("FUZZ_SECONDS", "60")))
  end

  desc "A longer fuzz run: FUZZ_SECONDS (3600) on FUZZ_JOBS (all cores) processes"
  task :long do
    KalveraSanitize.fuzz(Integer(ENV.fetch("FUZZ_SECONDS", "3600")),
                         jobs: Integer(ENV.fetch("FUZZ_JOBS", Etc.nprocessors.to_s)))
  end
end

desc "Run a script exercising every entry under valgrind memcheck (script/valgrind)"
task :valgrind do
  sh "bash", File.join(KalveraSanitize::ROOT, "script", "valgrind")
end
