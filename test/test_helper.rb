# The suite runs unchanged on the host's Ruby 1.8.7 (test/unit, Strings without encodings, narrow
# file names on Windows) and on Ruby 1.9 and later (minitest). Every test class subclasses
# KalveraTest::TestCase; what differs between the two lives in this file, nowhere else.

# Ruby 1.8 tells a feature apart by the name it was required by ("test_helper" in the tests, a
# full path from a loader globbing test_*.rb): record both, so it loads once.
if RUBY_VERSION < "1.9"
  [File.expand_path(__FILE__), "test_helper.rb"].each { |f| $LOADED_FEATURES << f unless $LOADED_FEATURES.include?(f) }
end

require "fileutils"
require "rbconfig"
require "tmpdir"

module KalveraTest
  RUBY18 = RUBY_VERSION < "1.9"
  WINDOWS = RbConfig::CONFIG["target_os"] =~ /mingw|mswin/ ? true : false
  # Ruby 1.8 hands file names to Windows' narrow (code page) calls, which mangle UTF-8.
  WIDE_FILES = WINDOWS && RUBY18
  # Skips, counted for the report at exit: test/unit 1.8 knows of none.
  SKIPPED = []
end

if KalveraTest::RUBY18
  # test/unit runs the tests from an exit hook; a hook registered before it runs after them.
  at_exit do
    n = KalveraTest::SKIPPED.size
    puts "#{n} skips" if Test::Unit.run?
  end
  require "test/unit"
else
  require "minitest/autorun"
end
require "kalvera"

module KalveraTest
  RUBY = if RbConfig.respond_to?(:ruby)
           RbConfig.ruby
         else
           File.join(RbConfig::CONFIG["bindir"], RbConfig::CONFIG["ruby_install_name"] + RbConfig::CONFIG["EXEEXT"])
         end

  # The directory the extension was loaded from, for child interpreters. Ruby 1.8 records only
  # "kalvera.so" as loaded; the first load path entry holding it is the one require took.
  LIB_DIR = begin
    name = "kalvera.#{RbConfig::CONFIG['DLEXT']}"
    loaded = if RUBY18
               $LOAD_PATH.map { |d| File.join(File.expand_path(d), name) }.find { |f| File.file?(f) }
             else
               $LOADED_FEATURES.find { |f| File.basename(f) == name }
             end
    File.dirname(loaded)
  end

  # Strings as bytes and as text. On 1.8 a String is its bytes and has no encoding to set.
  module Text
    REPLACEMENT = [0xFFFD].pack("U")

    if RUBY18
      def bytes(str)
        str.dup
      end

      def utf8(str)
        str.dup
      end

      def scrubbed(str)
        scrub_utf8(str)
      end

      def valid_utf8?(str)
        scrub_utf8(str) == str
      end
    else
      def bytes(str)
        str.dup.force_encoding(Encoding::BINARY)
      end

      def utf8(str)
        str.dup.force_encoding(Encoding::UTF_8)
      end

      def scrubbed(str)
        utf8(str).scrub(REPLACEMENT)
      end

      def valid_utf8?(str)
        utf8(str).valid_encoding?
      end
    end

    # A UTF-8 String of these code points ("\u" escapes are 1.9 syntax).
    def u(*codepoints)
      codepoints.pack("U*")
    end

    # String#scrub's answer for UTF-8: each maximal ill-formed part (a lead byte and the
    # continuation bytes that may still follow it) becomes one U+FFFD.
    def scrub_utf8(str)
      input = bytes(str).unpack("C*")
      out = bytes("")
      i = 0
      while i < input.size
        length, second = utf8_lead(input[i])
        k = 1
        k += 1 while k < length && i + k < input.size && (k == 1 ? second : 0x80..0xBF).include?(input[i + k])
        out << (k == length ? input[i, k].pack("C*") : bytes(REPLACEMENT))
        i += k
      end
      utf8(out)
    end

    # [sequence length, the range its second byte must fall in]; a byte that never leads, [0].
    def utf8_lead(byte)
      case byte
      when 0x00..0x7F then [1]
      when 0xC2..0xDF then [2, 0x80..0xBF]
      when 0xE0 then [3, 0xA0..0xBF] # no overlongs
      when 0xED then [3, 0x80..0x9F] # no surrogates
      when 0xE1..0xEF then [3, 0x80..0xBF]
      when 0xF0 then [4, 0x90..0xBF]
      when 0xF1..0xF3 then [4, 0x80..0xBF]
      when 0xF4 then [4, 0x80..0x8F] # nothing past U+10FFFF
      else [0]
      end
    end

    # A seeded generator: Random where there is one. Ruby 1.8's stand-in reseeds the
    # interpreter's only generator, so one such generator may be in use at a time.
    def seeded_random(seed)
      defined?(::Random) ? ::Random.new(seed) : SeededRandom.new(seed)
    end
  end

  class SeededRandom
    def initialize(seed)
      Kernel.srand(seed)
    end

    def rand(limit)
      return Kernel.rand(limit) unless limit.is_a?(Range)

      limit.first + Kernel.rand(limit.last - limit.first + (limit.exclude_end? ? 0 : 1))
    end

    def bytes(n)
      Array.new((n + 1) / 2) { Kernel.rand(0x10000) }.pack("v*")[0, n]
    end
  end

  # Files through Windows' wide calls, for Ruby 1.8 there: names are UTF-8 Strings, as the
  # extension takes them.
  module WideFiles
    if WIDE_FILES
      require "Win32API"

      def self.api(name, params, answer)
        Win32API.new("kernel32", name, params, answer)
      end

      MULTI_BYTE_TO_WIDE = api("MultiByteToWideChar", %w[I L P I P I], "I")
      WIDE_TO_MULTI_BYTE = api("WideCharToMultiByte", %w[I L P I P I P P], "I")
      CREATE_FILE = api("CreateFileW", %w[P L L P L L L], "L")
      READ_FILE = api("ReadFile", %w[L P L P P], "I")
      WRITE_FILE = api("WriteFile", %w[L P L P P], "I")
      CLOSE_HANDLE = api("CloseHandle", %w[L], "I")
      FIND_FIRST = api("FindFirstFileW", %w[P P], "L")
      FIND_NEXT = api("FindNextFileW", %w[L P], "I")
      FIND_CLOSE = api("FindClose", %w[L], "I")
      CREATE_DIRECTORY = api("CreateDirectoryW", %w[P P], "I")
      REMOVE_DIRECTORY = api("RemoveDirectoryW", %w[P], "I")
      DELETE_FILE = api("DeleteFileW", %w[P], "I")
      SET_ATTRIBUTES = api("SetFileAttributesW", %w[P L], "I")
      GET_LAST_ERROR = api("GetLastError", [], "L")
    end

    CP_UTF8 = 65_001
    GENERIC_READ = 0x80000000
    GENERIC_WRITE = 0x40000000
    SHARE_ALL = 7 # read, write, delete
    CREATE_ALWAYS = 2
    OPEN_EXISTING = 3
    ATTRIBUTE_DIRECTORY = 0x10
    ATTRIBUTE_NORMAL = 0x80
    ATTRIBUTE_REPARSE_POINT = 0x400
    # Win32API answers INVALID_HANDLE_VALUE signed or unsigned, by build.
    INVALID_HANDLES = [-1, 0xFFFFFFFF].freeze
    # WIN32_FIND_DATAW: attributes at 0, the name (260 WCHARs) at 44, 592 bytes in all.
    FIND_DATA_SIZE = 592
    NAME_OFFSET = 44
    CHUNK = 1 << 20

    module_function

    def fail!(call, file)
      raise IOError, "#{call}(#{file}): Windows error #{GET_LAST_ERROR.call}"
    end

    # UTF-16LE with its terminator; Win32API may write into a String it is given, so a copy.
    def wide(str)
      src = bytes_of(str)
      return "\0\0" if src.empty?

      n = MULTI_BYTE_TO_WIDE.call(CP_UTF8, 0, src, src.length, nil, 0)
      raise ArgumentError, "not convertible: #{str.inspect}" if n.zero?

      out = "\0" * (2 * n)
      MULTI_BYTE_TO_WIDE.call(CP_UTF8, 0, src, src.length, out, n)
      out << "\0\0"
    end

    def narrow(units)
      return "" if units.empty?

      n = WIDE_TO_MULTI_BYTE.call(CP_UTF8, 0, units, units.length / 2, nil, 0, nil, nil)
      out = "\0" * n
      WIDE_TO_MULTI_BYTE.call(CP_UTF8, 0, units, units.length / 2, out, n, nil, nil)
      out
    end

    def bytes_of(str)
      str.to_s.dup
    end

    # Backslashes; past MAX_PATH an absolute name needs the \\?\ form, which takes no slashes.
    def native(file)
      name = file.tr("/", "\\")
      return name unless name.length > 240 && name =~ /\A[A-Za-z]:\\/

      "\\\\?\\" + name.gsub(/\\+/) { "\\" }
    end

    def open_handle(file, access, disposition)
      handle = CREATE_FILE.call(wide(native(file)), access, SHARE_ALL, nil, disposition, ATTRIBUTE_NORMAL, 0)
      fail!("CreateFileW", file) if INVALID_HANDLES.include?(handle)
      handle
    end

    def read(file)
      handle = open_handle(file, GENERIC_READ, OPEN_EXISTING)
      content = ""
      begin
        loop do
          buffer = "\0" * CHUNK
          count = "\0" * 4
          fail!("ReadFile", file) if READ_FILE.call(handle, buffer, CHUNK, count, nil).zero?
          n = count.unpack("V").first
          break if n.zero?

          content << buffer[0, n]
        end
      ensure
        CLOSE_HANDLE.call(handle)
      end
      content
    end

    def write(file, content)
      data = bytes_of(content)
      handle = open_handle(file, GENERIC_WRITE, CREATE_ALWAYS)
      begin
        offset = 0
        while offset < data.length
          chunk = data[offset, CHUNK]
          count = "\0" * 4
          fail!("WriteFile", file) if WRITE_FILE.call(handle, chunk, chunk.length, count, nil).zero?
          offset += count.unpack("V").first
        end
      ensure
        CLOSE_HANDLE.call(handle)
      end
    end

    # [[name, attributes], ...] without "." and "..".
    def list(dir)
      data = "\0" * FIND_DATA_SIZE
      handle = FIND_FIRST.call(wide(native(File.join(dir, "*"))), data)
      fail!("FindFirstFileW", dir) if INVALID_HANDLES.include?(handle)
      found = []
      begin
        loop do
          units = data[NAME_OFFSET, 520].unpack("v*")
          name = narrow(units[0, units.index(0) || units.size].pack("v*"))
          found << [name, data[0, 4].unpack("V").first] unless name == "." || name == ".."
          # Ends at ERROR_NO_MORE_FILES; a listing cut short by anything else fails the
          # comparison it was taken for.
          break if FIND_NEXT.call(handle, data).zero?
        end
      ensure
        FIND_CLOSE.call(handle)
      end
      found
    end

    def entries(dir)
      list(dir).map { |name, _| name }
    end

    def mkdir(dir)
      fail!("CreateDirectoryW", dir) if CREATE_DIRECTORY.call(wide(native(dir)), nil).zero?
    end

    def delete(file)
      fail!("DeleteFileW", file) if DELETE_FILE.call(wide(native(file))).zero?
    end

    # Removes what it can, as FileUtils.rm_rf does: read-only files and folders included.
    def remove_tree(dir)
      list(dir).each do |name, attributes|
        entry = File.join(dir, name)
        SET_ATTRIBUTES.call(wide(native(entry)), ATTRIBUTE_NORMAL)
        if attributes & ATTRIBUTE_DIRECTORY == 0
          DELETE_FILE.call(wide(native(entry)))
        elsif attributes & ATTRIBUTE_REPARSE_POINT == 0
          remove_tree(entry)
        else
          REMOVE_DIRECTORY.call(wide(native(entry)))
        end
      end
      SET_ATTRIBUTES.call(wide(native(dir)), ATTRIBUTE_NORMAL)
      REMOVE_DIRECTORY.call(wide(native(dir)))
    rescue IOError
      nil
    end
  end

  # What the suite uses of minitest, on test/unit 1.8.
  module Minitest18
    # Ends a skipped test; never seen outside add_error.
    class Skipped < StandardError; end

    # Shown by test/unit's console runner like a fault ("S", then the reason at the end) but
    # kept out of its failure and error counts.
    class SkipNotice
      def initialize(test_name, exception)
        @test_name = test_name
        @reason = exception.message
        @location = (exception.backtrace || []).reject { |l| l.index(__FILE__) }.first
      end

      def single_character_display
        "S"
      end

      def short_display
        "#{@test_name}: #{@reason}"
      end

      def long_display
        "Skipped:\n#{@test_name} [#{@location}]:\n#{@reason}"
      end

      def to_s
        long_display
      end
    end

    def skip(message = nil)
      raise Skipped, message || "Skipped, no message given"
    end

    # minitest's: any kind of the expected classes passes and is answered; an assertion
    # failure inside the block is no exception to compare.
    def assert_raises(*expected)
      message = expected.last.is_a?(String) ? expected.pop : nil
      expected = [StandardError] if expected.empty?
      begin
        yield
      rescue Test::Unit::AssertionFailedError, Skipped, SignalException, SystemExit
        raise
      rescue Exception => e
        assert_block(build_message(message, "<?> exception expected, not\n<?>.", expected, e)) do
          expected.any? { |k| e.is_a?(k) }
        end
        return e
      end
      flunk(build_message(message, "<?> expected but nothing was raised.", expected))
    end

    def refute(test, message = nil)
      assert_block(build_message(message, "<?> expected to be false or nil.", test)) { !test }
    end

    def refute_nil(object, message = nil)
      assert_not_nil(object, message)
    end

    def refute_equal(expected, actual, message = nil)
      assert_not_equal(expected, actual, message)
    end

    def refute_same(expected, actual, message = nil)
      assert_not_same(expected, actual, message)
    end

    def refute_match(pattern, string, message = nil)
      assert_no_match(pattern, string, message)
    end

    def refute_respond_to(object, method, message = nil)
      assert_block(build_message(message, "<?> expected not to respond to <?>.", object, method)) do
        !object.respond_to?(method)
      end
    end

    def assert_includes(collection, object, message = nil)
      assert_block(build_message(message, "<?> expected to include <?>.", collection, object)) do
        collection.include?(object)
      end
    end

    def refute_includes(collection, object, message = nil)
      assert_block(build_message(message, "<?> expected not to include <?>.", collection, object)) do
        !collection.include?(object)
      end
    end

    def assert_empty(object, message = nil)
      assert_block(build_message(message, "<?> expected to be empty.", object)) { object.empty? }
    end

    def refute_empty(object, message = nil)
      assert_block(build_message(message, "<?> expected not to be empty.", object)) { !object.empty? }
    end

    def refute_operator(left, operator, right, message = nil)
      assert_block(build_message(message, "<?> expected not to be\n?\n<?>.", left, operator, right)) do
        !left.__send__(operator, right)
      end
    end

    def refute_kind_of(klass, object, message = nil)
      assert_block(build_message(message, "<?> expected not to be a kind of <?>.", object, klass)) do
        !object.kind_of?(klass)
      end
    end

    def refute_instance_of(klass, object, message = nil)
      assert_block(build_message(message, "<?> expected not to be an instance of <?>.", object, klass)) do
        !object.instance_of?(klass)
      end
    end

    private

    def add_error(exception)
      return super unless exception.is_a?(Skipped)

      notice = SkipNotice.new(name, exception)
      SKIPPED << notice
      @_result.notify_listeners(Test::Unit::TestResult::FAULT, notice)
    end
  end

  include Text

  # Every test gets a fresh directory; paths given to the extension are UTF-8 Strings.
  def setup
    super
    @dir = Dir.mktmpdir("kalvera")
  end

  def teardown
    if WIDE_FILES
      WideFiles.remove_tree(@dir)
    else
      unlock_tree(@dir) unless WINDOWS
      FileUtils.rm_rf(@dir)
    end
    super
  end

  # Lets teardown remove what a test locked. FileUtils.chmod_R of Ruby 1.8 changes a link's
  # own mode, which Linux refuses.
  def unlock_tree(dir)
    return FileUtils.chmod_R(0700, dir) unless RUBY18

    File.chmod(0700, dir)
    (Dir.entries(dir) - %w[. ..]).each do |name|
      entry = File.join(dir, name)
      next if File.symlink?(entry)

      File.directory?(entry) ? unlock_tree(entry) : File.chmod(0700, entry)
    end
  end

  def path(*names)
    joined = File.join(@dir, *names)
    RUBY18 ? joined : joined.encode("UTF-8")
  end

  # The helpers below take any name, non-ASCII ones included: on Ruby 1.8 on Windows they go
  # through the wide calls, elsewhere through Ruby's own.
  def make_file(name, content)
    file = path(name)
    if WIDE_FILES
      WideFiles.write(file, content)
    else
      File.open(file, "wb") { |f| f.write(content) }
    end
    file
  end

  def read(file)
    return WideFiles.read(file) if WIDE_FILES

    File.open(file, "rb") { |f| f.read }
  end

  # The names in a directory (this test's by default), as sorted UTF-8 Strings.
  def entries(dir = @dir)
    names = if WIDE_FILES
              WideFiles.entries(dir)
            elsif Dir.respond_to?(:children)
              Dir.children(dir)
            else
              Dir.entries(dir) - %w[. ..]
            end
    names.map { |name| utf8(name) }.sort
  end

  def mkdir(dir)
    WIDE_FILES ? WideFiles.mkdir(dir) : Dir.mkdir(dir)
  end

  def delete(file)
    WIDE_FILES ? WideFiles.delete(file) : File.delete(file)
  end

  # What a text written by the writer looks like on disk on this platform.
  def on_disk(text)
    WINDOWS ? bytes(text).gsub("\n", "\r\n") : bytes(text)
  end

  # An object that converts to this String only through to_str.
  def string_like(value)
    object = Object.new
    (class << object; self; end).send(:define_method, :to_str) { value }
    object
  end

  def skip_on_windows(why)
    skip(why) if WINDOWS
  end

  def skip_unless_windows(why)
    skip(why) unless WINDOWS
  end

  def skip_on_ruby18(why)
    skip(why) if RUBY18
  end

  # Seconds on a clock that only moves forward where there is one (Ruby 2.1 and later).
  def monotonic_time
    return Process.clock_gettime(Process::CLOCK_MONOTONIC) if defined?(Process::CLOCK_MONOTONIC)

    Time.now.to_f
  end

  def mkfifo(file)
    return File.mkfifo(file) if File.respond_to?(:mkfifo)

    system("mkfifo", file) or raise "mkfifo #{file} failed"
  end

  # Starts a child interpreter with the extension on its load path; answers its pid.
  def spawn_ruby(*args)
    argv = [RUBY, "-I", LIB_DIR] + args
    return Process.spawn(*argv) if Process.respond_to?(:spawn)

    fork do
      begin
        exec(*argv)
      ensure
        exit!(127)
      end
    end
  end

  # Runs Ruby code in a child interpreter with the extension on its load path; answers the
  # child's status and its standard output.
  def run_child(code)
    unless RUBY18
      out = IO.popen([RUBY, "-I", LIB_DIR, "-e", code], "rb") { |io| io.read }
      return [$?, out]
    end
    # No argument vector for popen on 1.8, and no multi-line -e through cmd.exe: the code
    # goes in a file, the command through the shell.
    Dir.mktmpdir("kalvera-child") do |dir|
      script = File.join(dir, "child.rb")
      File.open(script, "wb") { |f| f.write(code) }
      command = [RUBY, "-I", LIB_DIR, script].map { |arg| shell_quote(arg) }.join(" ")
      out = IO.popen(command, "rb") { |io| io.read }
      [$?, out]
    end
  end

  def shell_quote(arg)
    return "\"#{arg}\"" if WINDOWS # Windows names hold no double quotes

    "'" + arg.gsub("'") { "'\\''" } + "'"
  end

  # Runs the block in a forked child that has dropped root, so permission bits apply to it as
  # they do to the host's users. Answers what the block returned.
  def as_unprivileged_user
    skip "permission bits need a fork and a uid to drop to" if WINDOWS
    File.chmod(File.stat(@dir).mode | 0555, @dir) # let the child reach its files
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

  class TestCase < (RUBY18 ? Test::Unit::TestCase : Minitest::Test)
    include Minitest18 if RUBY18
    include KalveraTest
    # Tables of cases are built in class bodies.
    extend Text

    if RUBY18
      # test/unit would run a class without tests as a failing default test.
      def self.suite
        self == KalveraTest::TestCase ? Test::Unit::TestSuite.new(name) : super
      end
    end
  end
end
