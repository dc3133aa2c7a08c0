require "test_helper"

# Writers a script leaves open when the application embedding Ruby ends the process: every line
# a write answered true for must reach its file, whether or not the host finalizes the
# interpreter first. The host (test/host/kalvera_host.c) is built per interpreter by
# `rake host:build`; KALVERA_EMBED_HOST names it. The files are read once the host has ended.
#
# Written for Ruby 1.8.7 and 3.1 alike, the scripts the host runs included.
class TestHostExit < KalveraTest::TestCase
  HOST = ENV["KALVERA_EMBED_HOST"]

  # What each case does inside the host, and the files it must leave behind with their text.
  # check raises (failing the host) unless a write answered true.
  CASES = [
    ["a writer left open", <<-'RUBY', [["open.txt", "kept\ntail"]]],
      $open = Writer.new(at("open.txt"))
      check $open.puts("kept")
      check($open << "tail")
    RUBY
    ["a dropped writer", <<-'RUBY', [["dropped.txt", "dropped\n"]]],
      drop("dropped.txt", "dropped")
    RUBY
    # The collector may free it before the end, so the exit finds it gone.
    ["a dropped writer, then a collection", <<-'RUBY', [["collected.txt", "collected\n"]]],
      drop("collected.txt", "collected")
      GC.start
    RUBY
    ["50 writers left open", <<-'RUBY', (0...50).map { |i| ["many#{i}.txt", "line #{i}\n"] }],
      $many = (0...50).map do |i|
        writer = Writer.new(at("many#{i}.txt"))
        check writer.puts("line #{i}")
        writer
      end
    RUBY
    # More than the stream's buffer: the start already reached the file, the rest has not.
    ["a writer past its buffer", <<-'RUBY', [["long.txt", (0...300).map { |i| "%04d" % i + "x" * 995 + "\n" }.join]]],
      $long = Writer.new(at("long.txt"))
      300.times { |i| check $long.puts("%04d" % i + "x" * 995) }
    RUBY
    ["a writer whose open failed", <<-'RUBY', []],
      $failed = Writer.new(at("missing/failed.txt"))
      raise "the open succeeded" if $failed.valid? || $failed.puts("lost") != false
    RUBY
    # Appended to after close: the exit must not touch the closed writer's file again.
    ["a closed writer", <<-'RUBY', [["closed.txt", "closed\nappended\n"]]],
      $closed = Writer.new(at("closed.txt"))
      check $closed.puts("closed")
      check $closed.close
      File.open(at("closed.txt"), "a") { |f| f.write("appended\n") }
    RUBY
    ["a writer initialized again", <<-'RUBY', [["first.txt", "first\n"], ["second.txt", "second\n"]]],
      $again = Writer.new(at("first.txt"))
      check $again.puts("first")
      $again.send(:initialize, at("second.txt"))
      check $again.puts("second")
    RUBY
  ].freeze

  # A write from an at_exit block, which runs while the interpreter is finalized, records its
  # answer in late.answer; the line must be in the file when it answered true.
  LATE = <<-'RUBY'.freeze
    $late = Writer.new(at("late.txt"))
    check $late.puts("early")
    at_exit { File.open(at("late.answer"), "w") { |f| f.write($late.puts("late").inspect) } }
  RUBY

  PRELUDE = <<-'RUBY'.freeze
    require "kalvera"
    Writer = KalveraMod::TextFileWriter
    def at(name)
      File.join(OUT, name)
    end
    def check(answer)
      raise "a write answered #{answer.inspect} at #{caller.first}" unless answer == true
    end
    def drop(name, line)
      check Writer.new(at(name)).puts(line)
      nil
    end
  RUBY

  def test_lines_reach_the_files_when_the_host_finalizes_then_returns
    late = run_host("finalize")
    # at_exit blocks run before the collector frees the writers.
    assert_equal "true", late
  end

  def test_lines_reach_the_files_when_the_host_exits_without_finalizing
    late = run_host("exit")
    assert_nil late, "at_exit blocks run only when the interpreter is finalized"
  end

  # Finalizing from a C exit handler the host registered before the script ran. On Linux the
  # extension's handler, registered later, runs first, and the writers are freed after it; on
  # Windows the DLL's handlers run when it detaches, after the host's.
  def test_lines_reach_the_files_when_finalizing_follows_the_exit_handlers
    late = run_host("atexit")
    assert_equal "false", late, "the writers were closed before the interpreter was finalized" unless WINDOWS
    refute_nil late
  end

  private

  # Runs every case in one host that ends the given way; checks each file and that no other
  # file appeared. Answers what the late write answered, or nil if it never ran.
  def run_host(ending)
    skip "no embedding host for this interpreter: KALVERA_EMBED_HOST is unset (rake host:build builds one)" unless HOST
    out = path("out")
    mkdir(out)
    script = path("script.rb")
    File.open(script, "wb") do |f|
      f.write("OUT = #{out.dump}\n" + PRELUDE)
      CASES.each { |name, code| f.write("# #{name}\n#{code}") }
      f.write(LATE)
    end
    # The host loads the kalvera.so this suite loaded.
    assert spawn_host(LIB_DIR, script, ending), "the host failed, ending with #{ending}: #{$?.inspect}"

    expected = []
    CASES.each do |name, _, files|
      files.each do |file, text|
        expected << file
        content = content_of(File.join(out, file))
        message = "#{name}, ending with #{ending}: #{file}"
        if text.size > 200
          assert content == on_disk(text), "#{message}: #{content ? content.size : "no"} bytes, #{on_disk(text).size} expected"
        else
          assert_equal on_disk(text), content, message
        end
      end
    end

    late = content_of(File.join(out, "late.answer"))
    assert [nil, "true", "false"].include?(late), "late.answer holds #{late.inspect}"
    assert_equal on_disk(late == "true" ? "early\nlate\n" : "early\n"), content_of(File.join(out, "late.txt")),
                 "a write from at_exit answered #{late.inspect}, ending with #{ending}"
    expected << "late.txt"
    expected << "late.answer" if late
    assert_equal expected.sort, entries(out), "ending with #{ending}"
    late
  end

  def content_of(file)
    File.file?(file) ? read(file) : nil
  end

  # On Windows the host finds this interpreter's DLL, and through it its library, on PATH.
  def spawn_host(*args)
    return system(HOST, *args) unless WINDOWS

    saved = ENV["PATH"]
    ENV["PATH"] = [RbConfig::CONFIG["bindir"].tr("/", "\\"), saved].compact.join(";")
    begin
      system(HOST.tr("/", "\\"), *args)
    ensure
      ENV["PATH"] = saved
    end
  end
end
