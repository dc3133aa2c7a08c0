# Cross-builds kalvera for Windows and runs the test suite under wine with the Windows Rubies
# that script/setup-windows builds (the wine32 rows of script/interpreters).
#
# The shipped DLL is the 32-bit one for Ruby 1.8.7 (x86-mingw32), the host's interpreter; the
# Ruby 3.1 builds are for testing. Where the machine cannot run 32-bit programs, wine runs only
# 64-bit ones: the 32-bit DLLs are still built and checked, and the suite runs on an
# x64-mingw32 build of the same sources with Ruby 3.1.
require "digest"
require "fileutils"
require "rbconfig"
require "shellwords"
require "tmpdir"

module KalveraWindows
  ROOT = File.expand_path("..", __dir__)
  CACHE = ENV.fetch("KALVERA_CACHE", "/var/cache/kalvera")
  ENV_FILE = File.join(CACHE, "windows.env")
  EXT_NAME = "kalvera"
  SHIPPED = "windows-1.8.7"
  # What objdump must report for each platform's DLL.
  PE = {
    "x86-mingw32" => { objdump: "i686-w64-mingw32-objdump", format: "pei-i386",
                       arch: "i386", magic: "010b" },
    "x64-mingw32" => { objdump: "x86_64-w64-mingw32-objdump", format: "pei-x86-64",
                       arch: "i386:x86-64", magic: "020b" },
  }.freeze
  # Guards CI against a wedged wine process; far above a normal run.
  WINE_TIMEOUT = Integer(ENV.fetch("KALVERA_WINE_TIMEOUT", "1800"))

  extend Rake::FileUtilsExt
  module_function

  # KEY=VALUE lines written by script/setup-windows.
  def env
    @env ||= begin
      unless File.file?(ENV_FILE)
        abort "#{ENV_FILE} missing: run `rake windows:setup` (script/setup-windows) first"
      end
      File.readlines(ENV_FILE, chomp: true).each_with_object({}) do |line, h|
        key, value = line.split("=", 2)
        h[key] = value if value && key.match?(/\A[A-Z_]+\z/)
      end
    end
  end

  def wine_arch
    env.fetch("KALVERA_WINE_ARCH")
  end

  # Every Windows interpreter of the table that this machine builds for: all the 32-bit ones,
  # and the x64 fallback only where wine32 cannot run.
  def interpreters
    KalveraInterpreters.all.select(&:windows?).reject { |i| i.runs == "wine64" && wine_arch == "win32" }
  end

  # Those whose Ruby is built: 1.8.7 is not where its release tarball was missing.
  def built_interpreters
    interpreters.select { |i| KalveraInterpreters.built?(i) }
  end

  def shipped
    KalveraInterpreters.find(SHIPPED)
  end

  # The one DLL name Ruby's import library gives an extension built for this interpreter.
  def ruby_dll(interpreter)
    major, minor = interpreter.version.split(".")
    name = interpreter.ruby18? ? "msvcrt-ruby18.dll" : "msvcrt-ruby#{major}#{minor}0.dll"
    interpreter.platform.start_with?("x64") ? "x64-#{name}" : name
  end

  # rake-compiler's build directory for the interpreter's version.
  def cross_dll(interpreter)
    File.join(ROOT, "tmp", interpreter.platform, EXT_NAME, interpreter.version, "#{EXT_NAME}.so")
  end

  def pe?(path)
    File.file?(path) && File.binread(path, 2) == "MZ"
  end

  # KALVERA_UNDER_WINE lets a test accept where wine departs from Windows
  # (it cuts file names longer than 255 bytes of UTF-8 instead of refusing).
  def wine_env
    env.reject { |k, _| k.start_with?("KALVERA_") }.merge("KALVERA_UNDER_WINE" => "1")
  end

  # Wine maps Z: to the Unix root.
  def win_path(path)
    "Z:" + File.expand_path(path).tr("/", "\\")
  end

  # PE32 or PE32+ as the platform wants; imports the system DLLs and the interpreter's DLL
  # only (so no C++ runtime DLL); exports Init_kalvera only; stripped.
  def check_dll(interpreter)
    path = interpreter.dll
    pe = PE.fetch(interpreter.platform)
    head = IO.popen([pe[:objdump], "-f", path], err: %i[child out], &:read)
    dump = IO.popen([pe[:objdump], "-p", path], err: %i[child out], &:read)
    sections = IO.popen([pe[:objdump], "-h", path], err: %i[child out], &:read)
    problems = []
    unless head.include?("file format #{pe[:format]}") && head.match?(/^architecture: #{Regexp.escape(pe[:arch])},/) &&
           dump.match?(/^Magic\s+#{pe[:magic]}\b/)
      problems << "not a #{pe[:format]} (#{pe[:arch]}, magic #{pe[:magic]}) file"
    end
    imports = dump.scan(/^\s*DLL Name: (\S+)/).flatten
    expected_imports = ["KERNEL32.dll", "msvcrt.dll", ruby_dll(interpreter)]
    unless imports.map(&:downcase).sort == expected_imports.map(&:downcase).sort
      problems << "imports #{imports.inspect}, expected #{expected_imports.inspect}"
    end
    exports = exported_names(dump)
    expected = ["Init_#{EXT_NAME}"]
    problems << "exports #{exports.inspect}, expected only #{expected.inspect}" unless exports == expected
    debug = sections.scan(/^\s*\d+\s+(\.debug\S*)/).flatten
    problems << "not stripped: #{debug.join(", ")}" unless debug.empty?
    problems << "not stripped: carries a symbol table" unless dump.match?(/^\s+symbols stripped$/)
    abort "#{path}:\n  #{problems.join("\n  ")}" unless problems.empty?
    puts "#{path} (#{interpreter.label}): #{pe[:format]}, #{File.size(path)} bytes, stripped; " \
         "exports #{exports.join(", ")}; imports #{imports.join(", ")}"
  end

  # Names listed under objdump's "[Ordinal/Name Pointer] Table".
  def exported_names(dump)
    table = dump[%r{^\[Ordinal/Name Pointer\] Table\n(.*?)(?:\n\s*\n|\z)}m, 1]
    return [] unless table

    table.lines.map { |l| l[/\]\s+(\S+)\s*$/, 1] }.compact
  end

  # As root, wine runs as the unprivileged user that setup gave the prefix to:
  # root would open files carrying the read-only attribute for writing.
  def as_wine_user
    return [] unless Process.uid.zero?

    ["setpriv", "--reuid=#{env.fetch("KALVERA_WINE_UID")}", "--regid=#{env.fetch("KALVERA_WINE_GID")}",
     "--clear-groups", "env", "HOME=#{env.fetch("WINEPREFIX")}"]
  end

  def wine_command(*args)
    ["timeout", "--kill-after=30", WINE_TIMEOUT.to_s, *as_wine_user, env.fetch("KALVERA_WINE"), *args]
  end

  # A world-readable copy of what the tests load, so the wine user needs no access to the
  # clone (which may sit below a private home).
  def stage_tests(interpreter, host)
    dir = Dir.mktmpdir("kalvera-wine-")
    File.chmod(0o755, dir)
    FileUtils.cp_r(File.join(ROOT, "test"), dir)
    FileUtils.cp_r(interpreter.ext_dir, File.join(dir, "windows-lib"))
    FileUtils.cp_r(File.dirname(host), File.join(dir, "host"))
    FileUtils.chmod_R("go+rX", dir)
    dir
  end

  def run_suite(interpreter)
    host = KalveraHost.build(interpreter.ruby)
    stage = stage_tests(interpreter, host)
    # minitest for Ruby 3.1 comes from Debian's package; 1.8 brings its own test/unit.
    libs = ["windows-lib", "test"]
    libs << win_path(env.fetch("KALVERA_MINITEST_LIB")) unless interpreter.ruby18?
    command = wine_command(interpreter.ruby, *KalveraInterpreters.suite_args(*libs))
    puts "(cd #{stage} && #{command.drop(3).shelljoin})"
    suite_env = wine_env.merge("KALVERA_EMBED_HOST" => win_path(File.join(stage, "host", File.basename(host))))
    KalveraInterpreters.run_suite(interpreter, command, chdir: stage, env: suite_env)
  ensure
    FileUtils.rm_rf(stage) if stage
  end

  def child_rake(*args)
    cmd = [RbConfig.ruby, "-S", "rake", *args]
    puts cmd.shelljoin
    system(*cmd, chdir: ROOT) or abort "failed: #{cmd.shelljoin}"
  end

  # rake-compiler defines its cross tasks from RUBY_CC_VERSION and ~/.rake-compiler/config.yml
  # when the Rakefile loads, so each version is built by a rake of its own.
  def cross_compile(interpreter)
    version = "RUBY_CC_VERSION=#{interpreter.version}"
    if interpreter.ruby18?
      cross_compile_ruby18(interpreter)
    elsif interpreter.platform == shipped.platform
      child_rake("cross", "compile", version)
    else
      child_rake("-f", "script/windows/test_build.rake", "KALVERA_TEST_PLATFORM=#{interpreter.platform}", version)
    end
    dll = cross_dll(interpreter)
    abort "#{dll} is not a Windows DLL" unless pe?(dll)
    mkdir_p interpreter.ext_dir
    cp dll, interpreter.dll
  end

  # rake-compiler runs the target's mkmf under the Ruby that runs rake, and Ruby 1.8's mkmf
  # does not run on 3.1. So the Linux Ruby 1.8.7 writes the Makefile, posing as the Windows
  # one: its platform and configuration, and itself for the Makefile's own ruby steps.
  def cross_compile_ruby18(interpreter)
    native = KalveraInterpreters.find("linux-1.8.7")
    abort "#{native.label} is needed to configure #{interpreter.label}" unless KalveraInterpreters.built?(native)
    rbconfig = Dir.glob(File.join(CACHE, interpreter.prefix, "lib", "ruby", "1.8", "*-mingw32", "rbconfig.rb")).first or
      abort "no rbconfig.rb in #{File.join(CACHE, interpreter.prefix)}"
    dir = File.dirname(cross_dll(interpreter))
    mkdir_p dir
    File.write(File.join(dir, "fake.rb"), <<~RUBY)
      # Written by rake windows:compile; see cross_compile_ruby18 in rakelib/windows.rake.
      class Object
        remove_const :RUBY_PLATFORM
        RUBY_PLATFORM = #{File.basename(File.dirname(rbconfig)).dump}
      end
      class File
        remove_const :ALT_SEPARATOR
        ALT_SEPARATOR = "\\\\"
      end
      load #{rbconfig.dump}
      $" << "rbconfig.rb"
    RUBY
    extconf = File.join(ROOT, "utf8_support", "extconf.rb")
    makefile = File.join(dir, "Makefile")
    if !File.exist?(makefile) || File.mtime(makefile) < File.mtime(extconf)
      sh native.ruby, "-I", dir, "-rfake", extconf, "--ruby=#{native.ruby}", chdir: dir
    end
    # mkmf's Makefile knows no header dependencies.
    dll = cross_dll(interpreter)
    sources = Dir.glob(File.join(ROOT, "utf8_support", "*.{cpp,h}"))
    rm_f Dir.glob(File.join(dir, "*.o")) << dll if File.exist?(dll) && sources.any? { |f| File.mtime(f) > File.mtime(dll) }
    sh "make", "-C", dir
  end

  # The host's drop-in: the 1.8 DLL, its SHA-256 and how a script loads it.
  def package(version)
    interpreter = shipped
    abort "#{interpreter.label} is not built: no DLL to package" unless File.file?(interpreter.dll)
    name = "#{EXT_NAME}-#{version}-#{interpreter.platform}-ruby#{interpreter.version}"
    dir = File.join(ROOT, "pkg", name)
    rm_rf dir
    mkdir_p dir
    cp interpreter.dll, dir
    digest = Digest::SHA256.file(File.join(dir, "#{EXT_NAME}.so")).hexdigest
    File.write(File.join(dir, "#{EXT_NAME}.so.sha256"), "#{digest}  #{EXT_NAME}.so\n")
    File.write(File.join(dir, "README.txt"), <<~TEXT.gsub("\n", "\r\n"))
      kalvera #{version} for Ruby #{interpreter.version} on 32-bit Windows (#{interpreter.platform})

      kalvera.so is built for the host application's own interpreter, Ruby #{interpreter.version},
      whose DLL is #{ruby_dll(interpreter)}. It needs nothing else: the C++ runtime is inside it.
      It does not load into other Ruby versions.

      Put kalvera.so in a folder on the interpreter's load path, for example beside the
      host's scripts, then in a script:

          $LOAD_PATH.unshift(File.dirname(__FILE__))   # if kalvera.so sits beside the script
          require "kalvera"
          w = KalveraMod::TextFileWriter.new(utf8_path)
          w.puts "a line"
          w.close

      SHA-256 of kalvera.so (also in kalvera.so.sha256):
      #{digest}
    TEXT
    puts "#{dir}: kalvera.so (#{File.size(interpreter.dll)} bytes), sha256 #{digest}"
  end
end

namespace :windows do
  desc "Install the mingw toolchain and wine, build the Windows Rubies (script/setup-windows)"
  task :setup do
    sh File.join(KalveraWindows::ROOT, "script", "setup-windows")
  end

  desc "Cross-compile #{KalveraWindows::EXT_NAME} for each Windows Ruby into tmp/windows-lib/<platform>-<version>/"
  task :compile do
    w = KalveraWindows
    linux_dll = File.join(w::ROOT, "lib", "#{w::EXT_NAME}.so")
    linux_before = File.file?(linux_dll) ? File.binread(linux_dll) : nil
    w.built_interpreters.each { |i| w.cross_compile(i) }
    # Newer rake-compiler releases also copy cross builds into lib/.
    if w.pe?(linux_dll)
      linux_before ? File.binwrite(linux_dll, linux_before) : rm_f(linux_dll)
    end
  end

  desc "Check each Windows DLL: PE format and machine, imports, Init_kalvera the only export, stripped"
  task check_dll: :compile do
    w = KalveraWindows
    w.built_interpreters.each { |i| w.check_dll(i) }
  end

  desc "Write the host's drop-in into pkg/: the Ruby 1.8.7 DLL, its SHA-256 and a short README"
  task package: :check_dll do
    KalveraWindows.package(Gem::Specification.load(File.join(KalveraWindows::ROOT, "kalvera.gemspec")).version)
  end
end

namespace :test do
  desc "Cross-compile and run the suite under wine on each Windows Ruby (TESTOPTS passed on)"
  task windows: "windows:check_dll" do
    w = KalveraWindows
    failed = []
    w.interpreters.each do |interpreter|
      reason = KalveraInterpreters.unavailable(interpreter, w.wine_arch)
      if reason
        puts "\n==> #{interpreter.label}: suite NOT RUN: #{reason}"
        KalveraInterpreters.record(interpreter, "NOT RUN: #{reason}")
        next
      end
      failed << interpreter.label unless w.run_suite(interpreter)
    end
    abort "the suite failed on #{failed.join(", ")}" unless failed.empty?
  end
end
