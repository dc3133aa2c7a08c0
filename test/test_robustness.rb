require "test_helper"

# Faults and loads that the host's process must survive: descriptors that must not pile up,
# files that vanish under a writer, paths too long for the system, a file system that fills.
class TestRobustness < KalveraTest::TestCase
  Writer = KalveraMod::TextFileWriter
  Copier = KalveraMod::FileCopier

  # The interpreter's conservative stack scan may keep the last few dropped writers alive.
  DESCRIPTOR_SLACK = 5

  def open_descriptors
    entries("/proc/self/fd").size
  end

  # [calls, the workload]: each workload answers how many calls gave the right answer.
  DESCRIPTOR_WORKLOADS = {
    # No data: ext4 flushes a file emptied and written on every close, which only costs time.
    "writers opened and closed" => [10_000, lambda do |t|
      file = t.path("closed.txt")
      (1..10_000).count { w = Writer.new(file); w.valid? && w.close }
    end],
    "writers dropped without close, a line pending" => [10_000, lambda do |t|
      file = t.path("dropped.txt")
      (1..10_000).count { |i| Writer.new(file).puts(i.to_s) }
    end],
    "exist? calls" => [100_000, lambda do |t|
      present = t.make_file("present.txt", "x")
      missing = t.path("missing.txt")
      (1..50_000).count { Copier.exist?(present) } + (1..50_000).count { !Copier.exist?(missing) }
    end],
    "copies onto existing destinations" => [10_000, lambda do |t|
      source = t.make_file("source.txt", "new")
      destination = t.make_file("destination.txt", "old")
      10_000.times { Copier.new(source, destination) }
      t.read(destination) == "old" ? 10_000 : 0
    end]
  }.freeze

  def test_descriptors_return_to_where_they_started
    skip_on_windows "/proc/self/fd is Linux's"
    DESCRIPTOR_WORKLOADS.each do |label, (calls, workload)|
      GC.start
      before = open_descriptors
      assert_equal calls, workload.call(self), label
      GC.start
      growth = open_descriptors - before
      assert_operator growth, :<=, DESCRIPTOR_SLACK, "#{label}: #{growth} descriptors left open"
    end
  end

  # Ruby's own File.open collects garbage when descriptors run out; a host's script that
  # drops writers must not see them fail while dead ones still hold every descriptor.
  def test_dropped_writers_do_not_starve_new_ones_of_descriptors
    skip_on_windows "descriptor limits are a POSIX resource limit"
    file = path("dropped.txt")
    status, out = run_child(<<-RUBY)
      require "kalvera"
      Process.setrlimit(Process::RLIMIT_NOFILE, 256)
      written = (1..2_000).count { KalveraMod::TextFileWriter.new(#{file.dump}).puts("x") }
      print written
    RUBY
    assert status.success?
    assert_equal 2_000, Integer(out), "writers that failed to open for want of a descriptor"
  end

  # What happens to the held file; answers where its bytes are to be found afterwards, if anywhere.
  HELD_FILE_EVENTS = {
    "file removed" => lambda { |_dir, file| File.delete(file) && nil },
    "directory renamed" => lambda do |dir, _file|
      File.rename(dir, "#{dir}-moved")
      File.join("#{dir}-moved", "held.txt")
    end,
    "file and directory removed" => lambda { |dir, file| File.delete(file) && Dir.rmdir(dir) && nil }
  }.freeze

  def test_writer_outlives_its_file_being_removed_or_moved
    skip_on_windows "Windows refuses to remove or move a file that a stream holds open"
    HELD_FILE_EVENTS.each_with_index do |(label, event), i|
      dir = path("held#{i}")
      Dir.mkdir(dir)
      file = File.join(dir, "held.txt")
      writer = Writer.new(file)
      assert writer.puts("before")
      moved_to = event.call(dir, file)
      # Enough lines to pass the stream's buffer several times over.
      answers = (1..100_000).map { |n| [writer.puts("line #{n}"), writer.valid?] }
      assert answers.all? { |written, valid| written == valid }, "#{label}: an answer differs from valid?"
      assert answers.all? { |written, _| written }, label
      assert_equal true, writer.close, label
      expected = "before\n" + (1..100_000).map { |n| "line #{n}\n" }.join
      assert_equal expected, read(moved_to), label if moved_to
    end
  end

  # [path below a fresh folder, whether it works on Linux, on Windows (nil: either way)]
  LONG_PATHS = {
    "name of 255 bytes" => ["a" * 255, true, nil],
    "name of 255 bytes ending in a 4-byte character" => ["a" * 251 + u(0x1F600), true, nil],
    "name of 256 bytes" => ["a" * 256, false, false],
    "name of 256 bytes in 2-byte characters" => [u(0xe9) * 128, false, nil],
    # Wine cuts a name over 255 bytes of UTF-8 short instead of refusing it, as Windows does.
    "name of 768 bytes in 3-byte characters" => [u(0x65e5) * 256, false, ENV["KALVERA_UNDER_WINE"] ? nil : false],
    "path of 4 KiB" => [(["d" * 99] * 41).join("/"), false, false],
    "path of 4 KiB in 3-byte characters" => [([u(0x65e5) * 33] * 42).join("/"), false, false],
    "path of 64 KiB" => [(["d" * 199] * 328).join("/"), false, false]
  }.freeze

  # The path with the first character of its last name moved k code points on: a sibling of
  # the same length in bytes and in UTF-16 units.
  def sibling(tail, k)
    cut = (tail.rindex("/") || -1) + 1
    first, *rest = tail[cut..-1].unpack("U*")
    tail[0, cut] + [first + k].concat(rest).pack("U*")
  end

  def test_overlong_paths_fail_cleanly_in_every_entry
    LONG_PATHS.each_with_index do |(label, (tail, on_linux, on_windows)), i|
      dir = path("long#{i}")
      Dir.mkdir(dir)
      source = File.join(dir, "source")
      File.open(source, "wb") { |f| f.write("data") }
      target, copy, fresh = (0..2).map { |k| File.join(dir, sibling(tail, k)) }

      writer = Writer.new(target)
      works = WINDOWS ? on_windows : on_linux
      works = writer.valid? if works.nil?
      assert_equal works, writer.valid?, label
      assert_equal works, writer.puts("x"), label
      assert_equal true, writer.close, label
      assert_equal works, Copier.exist?(target), label
      assert_equal works, KalveraMod.isFolderWritable?(target), label
      Copier.new(target, copy)
      Copier.new(source, fresh)
      assert_equal works, Copier.exist?(copy), label
      names = entries(dir)
      assert_equal works ? 4 : 1, names.size, "#{label}: #{names.size} entries"
      assert_equal on_disk("x\n"), read(copy), label if works
    end
  end

  # Answers the child's status; kills it if it has not ended by the deadline, a guard against
  # a hang that is no measure of speed: a sound call ends at once, a hung one never.
  def wait_or_kill(pid, seconds)
    deadline = monotonic_time + seconds
    while monotonic_time < deadline
      return $? if Process.wait(pid, Process::WNOHANG)

      sleep 0.05
    end
    Process.kill("KILL", pid)
    Process.wait(pid)
    $?
  end

  def test_copy_from_a_fifo_is_refused_without_waiting_for_a_writer
    skip_on_windows "named pipes in the file system are POSIX"
    fifo = path("fifo")
    mkfifo(fifo)
    destination = path("copy")
    pid = spawn_ruby("-rkalvera", "-e", "KalveraMod::FileCopier.new(*ARGV)", fifo, destination)
    assert wait_or_kill(pid, 20).success?, "the copier blocked until a writer opened the FIFO"
    assert_equal %w[fifo], entries
  end

  FILL_LIMIT = 3_000_000
  # Written past the limit: more than any stream buffer holds, so a flush must meet the limit.
  FILL_EXCESS = 4_000_000

  # Chunk sizes below and above the stream's buffer; the limit is a multiple of neither.
  FILL_CHUNKS = { "lines of 1,000 bytes" => 1_000, "writes of 1 MB" => 1_000_000 }.freeze

  def fill_chunk(size, n)
    format("%07d\n", n) * (size / 8)
  end

  def test_full_file_system_mid_write
    skip_on_windows "file size limits are a POSIX resource limit"
    FILL_CHUNKS.each do |label, size|
      file = path("full-#{size}.txt")
      count = (FILL_LIMIT + FILL_EXCESS) / size
      status, out = run_child(<<-RUBY)
        require "kalvera"
        Signal.trap("XFSZ", "IGNORE")
        Process.setrlimit(Process::RLIMIT_FSIZE, #{FILL_LIMIT})
        w = KalveraMod::TextFileWriter.new(#{file.dump})
        answers = (0...#{count}).map { |n| w << format("%07d\\n", n) * #{size / 8} }
        answers << w.puts("after")
        $stdout.write Marshal.dump([answers, w.valid?, w.close])
      RUBY
      assert status.success?, label
      answers, valid, closed = Marshal.load(out)
      first_false = answers.index(false)
      refute_nil first_false, "#{label}: no write answered false"
      assert_operator((first_false + 1) * size, :>, FILL_LIMIT, "#{label}: false before the limit")
      assert answers.drop(first_false).none?, "#{label}: a write after the failed one answered true"
      expected = (0...count).map { |n| fill_chunk(size, n) }.join
      assert_equal FILL_LIMIT, File.size(file), label
      assert read(file) == expected[0, FILL_LIMIT], "#{label}: the bytes before the limit changed"
      assert_equal false, valid, label
      assert_equal false, closed, "#{label}: close hid the lost bytes"
    end
  end
end
