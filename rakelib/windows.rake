# Cross-builds kalvera for Windows and runs the test suite under wine with a
# Windows Ruby that script/setup-windows builds.
#
# The shipped DLL is the 32-bit one (x86-mingw32), built by the Rakefile's
# extension task. Where the machine cannot run 32-bit programs, wine runs only
# 64-bit ones, so the tests run on an x64-mingw32 build of the same sources.
require "fileutils"
require "rbconfig"
require "shellwords"
require "tmpdir"

module KalveraWindows
  ROOT = File.expand_path("..", __dir__)
  CACHE = ENV.fetch("KALVERA_CACHE", "/var/cache/kalvera")
  ENV_FILE = File.join(CACHE, "windows.env")
  EXT_NAME = "kalvera"
  RUBY_CC_VERSION = "3.1.2"
  SHIPPED_PLATFORM = "x86-mingw32"
  # What objdump must report for each platform's DLL.
  PE = {
    "x86-mingw32" => { objdump: "i686-w64-mingw32-objdump", format: "pei-i386",
                       arch: "i386", magic: "010b" },
    "x64-mingw32" => { objdump: "x86_64-w64-mingw32-objdump", format: "pei-x86-64",
                       arch: "i386:x86-64", magic: "020b" },
  }.freeze
  # The runtime DLLs that -static-libgcc -static-libstdc++ must keep out.
  FORBIDDEN_IMPORTS = /\A(libstdc\+\+|libgcc|libwinpthread)/i
  LINUX_DLL = File.join(ROOT, "lib", "#{EXT_NAME}.so")
  # Guards CI against a wedged wine process; far above a normal run.
  WINE_TIMEOUT = Integer(ENV.fetch("KALVERA_WINE_TIMEOUT", "1800"))

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

  def test_platform
    env.fetch("KALVERA_TEST_PLATFORM")
  end

  def platforms
    [SHIPPED_PLATFORM, test_platform].uniq
  end

  # Kept apart from lib/, where the Linux build installs its own kalvera.so.
  def win_lib(platform)
    File.join(ROOT, "tmp", "windows-lib", platform)
  end

  # rake-compiler's outputs: the stage copy, then the build directory's.
  def cross_dlls(platform)
    [File.join(ROOT, "tmp", platform, "stage", "lib", "#{EXT_NAME}.so"),
     File.join(ROOT, "tmp", platform, EXT_NAME, RUBY_CC_VERSION, "#{EXT_NAME}.so")]
  end

  def newest_cross_dll(platform)
    cross_dlls(platform).select { |f| File.file?(f) }.max_by { |f| File.mtime(f) }
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

  def check_dll(path, platform)
    pe = PE.fetch(platform)
    head = IO.popen([pe[:objdump], "-f", path], err: %i[child out], &:read)
    dump = IO.popen([pe[:objdump], "-p", path], err: %i[child out], &:read)
    problems = []
    unless head.include?("file format #{pe[:format]}") && head.match?(/^architecture: #{Regexp.escape(pe[:arch])},/) &&
           dump.match?(/^Magic\s+#{pe[:magic]}\b/)
      problems << "not a #{pe[:format]} (#{pe[:arch]}, magic #{pe[:magic]}) file"
    end
    imports = dump.scan(/^\s*DLL Name: (\S+)/).flatten
    bad = imports.grep(FORBIDDEN_IMPORTS)
    problems << "imports runtime DLLs #{bad.join(", ")}" unless bad.empty?
    exports = exported_names(dump)
    expected = ["Init_#{EXT_NAME}"]
    problems << "exports #{exports.inspect}, expected only #{expected.inspect}" unless exports == expected
    abort "#{path}:\n  #{problems.join("\n  ")}" unless problems.empty?
    puts "#{path}: #{pe[:format]}; exports #{exports.join(", ")}; imports #{imports.join(", ")}"
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

  # Runs a command under wine in dir, echoing its output without the CRs of
  # wine's console line ends; returns the exit status.
  def run_wine(*args, chdir:)
    cmd = ["timeout", "--kill-after=30", WINE_TIMEOUT.to_s, *as_wine_user, env.fetch("KALVERA_WINE"), *args]
    puts "(cd #{chdir} && #{cmd.drop(3).shelljoin})"
    status = nil
    IO.popen(wine_env, cmd, chdir: chdir, in: File::NULL, err: %i[child out]) do |io|
      loop do
        $stdout.write(io.readpartial(65_536).delete("\r"))
        $stdout.flush
      rescue EOFError
        break
      end
      io.close
      status = $?
    end
    status
  end

  # A world-readable copy of what the tests load, so the wine user needs no
  # access to the clone (which may sit below a private home).
  def stage_tests
    dir = Dir.mktmpdir("kalvera-wine-")
    File.chmod(0o755, dir)
    FileUtils.cp_r(File.join(ROOT, "test"), dir)
    FileUtils.mkdir_p(File.join(dir, "lib"))
    Dir.glob("**/*.rb", base: File.join(ROOT, "lib")).each do |rel|
      FileUtils.mkdir_p(File.dirname(File.join(dir, "lib", rel)))
      FileUtils.cp(File.join(ROOT, "lib", rel), File.join(dir, "lib", rel))
    end
    FileUtils.cp_r(win_lib(test_platform), File.join(dir, "windows-lib"))
    FileUtils.chmod_R("go+rX", dir)
    dir
  end

  def child_rake(*args)
    cmd = [RbConfig.ruby, "-S", "rake", *args, "RUBY_CC_VERSION=#{RUBY_CC_VERSION}"]
    puts cmd.shelljoin
    system(*cmd, chdir: ROOT) or abort "failed: #{cmd.shelljoin}"
  end
end

namespace :windows do
  desc "Install the mingw toolchain and wine, build the Windows Rubies (script/setup-windows)"
  task :setup do
    sh File.join(KalveraWindows::ROOT, "script", "setup-windows")
  end

  desc "Cross-compile #{KalveraWindows::EXT_NAME} for Windows into tmp/windows-lib/<platform>/"
  task :compile do
    w = KalveraWindows
    linux_before = File.file?(w::LINUX_DLL) ? File.binread(w::LINUX_DLL) : nil
    # Child rakes: rake-compiler defines its cross tasks from RUBY_CC_VERSION
    # and ~/.rake-compiler/config.yml when the Rakefile loads.
    w.child_rake("cross", "compile")
    if w.test_platform != w::SHIPPED_PLATFORM
      w.child_rake("-f", "script/windows/test_build.rake", "KALVERA_TEST_PLATFORM=#{w.test_platform}")
    end
    # Newer rake-compiler releases also copy cross builds into lib/.
    if w.pe?(w::LINUX_DLL)
      linux_before ? File.binwrite(w::LINUX_DLL, linux_before) : rm_f(w::LINUX_DLL)
    end
    w.platforms.each do |platform|
      dll = w.newest_cross_dll(platform) or
        abort "no #{platform} DLL; looked for:\n  #{w.cross_dlls(platform).join("\n  ")}"
      abort "#{dll} is not a Windows DLL" unless w.pe?(dll)
      mkdir_p w.win_lib(platform)
      cp dll, File.join(w.win_lib(platform), "#{w::EXT_NAME}.so")
    end
  end

  desc "Check the Windows DLLs: PE format and machine, exports only Init_kalvera, no libstdc++/libgcc imports"
  task check_dll: :compile do
    w = KalveraWindows
    w.platforms.each { |p| w.check_dll(File.join(w.win_lib(p), "#{w::EXT_NAME}.so"), p) }
  end
end

namespace :test do
  desc "Cross-compile and run test/**/test_*.rb under wine with the Windows Ruby (TESTOPTS passed on)"
  task windows: "windows:check_dll" do
    w = KalveraWindows
    stage = w.stage_tests
    begin
      tests = Dir.glob("test/**/test_*.rb", base: stage).sort
      abort "no tests match test/**/test_*.rb" if tests.empty?
      minitest = w.win_path(w.env.fetch("KALVERA_MINITEST_LIB"))
      # Loads the test files, then leaves only TESTOPTS in ARGV for minitest.
      loader = 'i = ARGV.index("--"); files = ARGV.shift(i); ARGV.shift; ' \
               "files.each { |f| require File.expand_path(f) }"
      # The Windows DLL's directory first, so `require "kalvera"` cannot find
      # a Linux build.
      args = [w.env.fetch("KALVERA_TEST_RUBY"), "-Iwindows-lib", "-Ilib", "-Itest", "-I#{minitest}",
              "-rminitest/autorun", "-e", loader, *tests, "--", *ENV.fetch("TESTOPTS", "").shellsplit]
      status = w.run_wine(*args, chdir: stage)
      abort "Windows tests failed (#{status})" unless status&.success?
    ensure
      FileUtils.rm_rf(stage)
    end
  end
end
