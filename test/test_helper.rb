require "minitest/autorun"
require "fileutils"
require "rbconfig"
require "tmpdir"
require "kalvera"

module KalveraTest
  WINDOWS = RbConfig::CONFIG["target_os"] =~ /mingw|mswin/ ? true : false
  LIB_DIR = File.dirname($LOADED_FEATURES.grep(/kalvera\.so\z/).first)

  # Every test gets a fresh directory; paths given to the extension are UTF-8 Strings.
  def setup
    super
    @dir = Dir.mktmpdir("kalvera")
  end

  def teardown
    FileUtils.chmod_R(0o700, @dir) unless WINDOWS
    FileUtils.rm_rf(@dir)
    super
  end

  def path(*names)
    File.join(@dir, *names).encode("UTF-8")
  end

  def make_file(name, content)
    file = path(name)
    File.open(file, "wb") { |f| f.write(content) }
    file
  end

  def read(file)
    File.open(file, "rb") { |f| f.read }
  end

  # What a text written by the writer looks like on disk on this platform.
  def on_disk(text)
    WINDOWS ? text.b.gsub("\n", "\r\n") : text.b
  end

  def entries
    Dir.children(@dir).map { |name| name.dup.force_encoding("UTF-8") }.sort
  end

  def skip_on_windows(why)
    skip(why) if WINDOWS
  end

  def skip_unless_windows(why)
    skip(why) unless WINDOWS
  end

  # Runs Ruby code in a child interpreter with the extension on its load path; answers the
  # child's status and its standard output.
  def run_child(code)
    out = IO.popen([RbConfig.ruby, "-I", LIB_DIR, "-e", code], "rb", &:read)
    [$?, out]
  end

  # Runs the block in a forked child that has dropped root, so permission bits apply to it as
  # they do to the host's users. Answers what the block returned.
  def as_unprivileged_user
    skip "permission bits need a fork and a uid to drop to" if WINDOWS
    File.chmod(File.stat(@dir).mode | 0o555, @dir) # let the child reach its files
    reader, writer = IO.pipe
    pid = fork do
      reader.close
      if Process.uid.zero?
        Process::Sys.setgid(65_534)
        Process::Sys.setuid(65_534)
      end
      writer.write(Marshal.dump(yield))
      exit!(0)
    end
    writer.close
    result = Marshal.load(reader.read)
    Process.wait(pid)
    result
  end
end
