# The embedding host the exit tests run (test/host/kalvera_host.c), built against one
# interpreter's own headers and libraries into tmp/host/<version>-<arch>/.
#
#   rake host:build[INTERPRETER]           a ruby executable or an installation prefix; the ruby
#                                          running rake when left out
#   rake host:test[INTERPRETER,EXT_DIR]    test/test_host_exit.rb on that (Linux) interpreter,
#                                          with kalvera.so from EXT_DIR (lib/ when left out)
#
# A Windows Ruby (a prefix or a ruby.exe) cannot run here, so its configuration is read from its
# rbconfig.rb and the host is built with its mingw compiler. That host finds the Ruby DLL through
# PATH, the test putting its interpreter's bin directory there: a copy beside the host would take
# its library directory from where the copy is. KALVERA_EMBED_HOST tells the test where the host is.
require "fileutils"
require "rbconfig"
require "shellwords"

module KalveraHost
  ROOT = File.expand_path("..", __dir__)
  SOURCE = File.join(ROOT, "test", "host", "kalvera_host.c")
  KEYS = %w[MAJOR MINOR TEENY arch CC LDFLAGS LIBRUBYARG LIBS libdir rubyhdrdir rubyarchhdrdir archdir].freeze

  extend Rake::FileUtilsExt
  module_function

  # The ruby executable, and the installation prefix it belongs to.
  def locate(interpreter)
    interpreter = File.expand_path(interpreter)
    if File.directory?(interpreter)
      ruby = %w[ruby ruby.exe].map { |name| File.join(interpreter, "bin", name) }.find { |f| File.file?(f) }
      abort "#{interpreter} holds neither bin/ruby nor bin/ruby.exe" unless ruby
      [ruby, interpreter]
    else
      abort "#{interpreter}: no such interpreter" unless File.file?(interpreter)
      [interpreter, File.dirname(File.dirname(interpreter))]
    end
  end

  def windows?(ruby)
    ruby.end_with?(".exe") || File.binread(ruby, 2) == "MZ"
  end

  # What the interpreter itself says; Ruby 1.8 names the module Config, with RbConfig an alias.
  def ask(ruby)
    code = 'require "rbconfig"; c = (defined?(RbConfig) ? RbConfig : Config)::CONFIG; ' \
           "ARGV.each { |k| puts [k, c[k]].join(\"=\") }"
    out = IO.popen([ruby, "-e", code, *KEYS], err: File::NULL, &:read)
    abort "#{ruby} would not report its configuration" unless $?.success?
    out.lines(chomp: true).to_h { |line| line.split("=", 2) }
  end

  # The CONFIG entries of an rbconfig.rb that is not ours to run, expanded as RbConfig.expand
  # would, the prefix being where the installation is now.
  def read_rbconfig(prefix)
    file = Dir.glob(File.join(prefix, "lib", "ruby", "*", "*", "rbconfig.rb")).first or
      abort "no lib/ruby/<version>/<arch>/rbconfig.rb under #{prefix}"
    raw = { "prefix" => prefix, "DESTDIR" => "" }
    File.foreach(file, encoding: "BINARY") do |line|
      next unless line =~ /\A\s*CONFIG\["(\w+)"\]\s*=\s*("(?:[^"\\]|\\.)*")\s*\z/
      next if raw.key?(Regexp.last_match(1))

      raw[Regexp.last_match(1)] = begin
        Regexp.last_match(2).undump
      rescue RuntimeError
        next
      end
    end
    expand = lambda do |value, depth = 0|
      abort "#{file}: variables nest too deep" if depth > 20
      value.gsub(/\$\((\w+)\)|\$\{(\w+)\}/) { expand.call(raw.fetch(Regexp.last_match(1) || Regexp.last_match(2), ""), depth + 1) }
    end
    KEYS.to_h { |key| [key, raw[key] && expand.call(raw[key])] }
  end

  def output_dir(config)
    File.join(ROOT, "tmp", "host", "#{config.values_at("MAJOR", "MINOR", "TEENY").join(".")}-#{config["arch"]}")
  end

  def header_flags(config)
    # Ruby 1.8 keeps its headers in the architecture's library directory.
    dirs = [config["rubyarchhdrdir"], config["rubyhdrdir"]].reject { |d| d.to_s.empty? }
    dirs = [config["archdir"]] if dirs.empty?
    dirs.map { |d| "-I#{d}" }
  end

  def compiler(config, windows)
    cc = config["CC"].to_s.shellsplit
    return cc if cc.any? && system("command -v #{cc.first.shellescape} >/dev/null")
    abort "no C compiler: #{config["CC"].inspect} is not on PATH" unless windows

    config["arch"].start_with?("x64", "x86_64") ? ["x86_64-w64-mingw32-gcc-win32"] : ["i686-w64-mingw32-gcc-win32"]
  end

  # Builds the host against the interpreter; answers the host's path.
  def build(interpreter = RbConfig.ruby)
    ruby, prefix = locate(interpreter)
    windows = windows?(ruby)
    config = windows ? read_rbconfig(prefix) : ask(ruby)
    dir = output_dir(config)
    host = File.join(dir, windows ? "kalvera_host.exe" : "kalvera_host")
    mkdir_p dir
    # The interpreter's LDFLAGS export the executable's symbols, as the extension needs where
    # Ruby is a static library linked into the host.
    sh(*compiler(config, windows), "-O1", "-g", "-Wall", *header_flags(config), SOURCE, "-o", host,
       *config["LDFLAGS"].to_s.shellsplit, "-L#{config["libdir"]}",
       *config["LIBRUBYARG"].to_s.shellsplit, *config["LIBS"].to_s.shellsplit)
    host
  end
end

namespace :host do
  desc "Build the embedding host (test/host) against INTERPRETER (ruby or prefix; default: this ruby) into tmp/host/"
  task :build, [:interpreter] do |_, args|
    puts KalveraHost.build(args[:interpreter] || RbConfig.ruby)
  end

  desc "Run test/test_host_exit.rb on a Linux INTERPRETER through its host, kalvera.so from EXT_DIR (default lib/)"
  task :test, [:interpreter, :ext_dir] do |_, args|
    interpreter = args[:interpreter] || RbConfig.ruby
    ext_dir = File.expand_path(args[:ext_dir] || File.join(KalveraHost::ROOT, "lib"))
    ruby, = KalveraHost.locate(interpreter)
    abort "host:test runs Linux interpreters; under wine, give the suite KALVERA_EMBED_HOST" if KalveraHost.windows?(ruby)
    Rake::Task[:compile].invoke unless args[:ext_dir]
    host = KalveraHost.build(interpreter)
    sh({ "KALVERA_EMBED_HOST" => host }, ruby, "-I", ext_dir, "-I", File.join(KalveraHost::ROOT, "test"),
       File.join(KalveraHost::ROOT, "test", "test_host_exit.rb"))
  end
end
