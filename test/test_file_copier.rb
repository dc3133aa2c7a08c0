require "test_helper"

class TestFileCopier < KalveraTest::TestCase
  Copier = KalveraMod::FileCopier

  CONTENTS = {
    "empty" => "",
    "text" => "line one\nline two\r\n",
    "every byte value" => (0..255).to_a.pack("C*") * 4 + "\0\0\0",
    "several MiB" => seeded_random(7).bytes(5 * 1024 * 1024 + 17)
  }.freeze

  def test_copy_is_byte_identical
    CONTENTS.each do |label, content|
      source = make_file("#{label}.src", content)
      destination = path("#{label}.dst")
      assert_instance_of Copier, Copier.new(source, destination)
      assert_equal bytes(content), read(destination), label
    end
  end

  def test_copy_never_overwrites
    source = make_file("source", "new")
    destination = make_file("destination", "old")
    assert_instance_of Copier, Copier.new(source, destination)
    assert_equal "old", read(destination)
  end

  def test_failed_copies_leave_nothing_behind
    source = make_file("source", "data")
    sub = path("sub")
    Dir.mkdir(sub)
    cases = {
      "missing source" => [path("missing"), path("a")],
      "missing destination directory" => [source, path("missing", "a")],
      "source is a directory" => [sub, path("b")],
      "NUL in the source" => [source + "\0tail", path("c")],
      "NUL in the destination" => [source, path("d") + "\0tail"],
      "empty source" => ["", path("e")],
      "empty destination" => [source, ""]
    }
    cases.merge!("refused name" => [source, path("f*g")], "device name" => [source, path("con")]) if WINDOWS
    cases.each do |label, (from, to)|
      assert_instance_of Copier, Copier.new(from, to), label
    end
    assert_equal %w[source sub], entries
    assert_equal [], entries(sub)
  end

  def test_copy_onto_a_link_does_not_follow_it
    skip_on_windows "symbolic links need privileges on Windows"
    source = make_file("source", "new")
    target = make_file("target", "precious")
    File.symlink(target, path("link"))
    Copier.new(source, path("link"))
    assert_equal "precious", read(target)
  end

  def test_copy_carries_permissions_and_modification_time
    skip_on_windows "POSIX permission bits"
    source = make_file("source", "data")
    File.chmod(0640, source)
    File.utime(Time.at(1_000_000_000), Time.at(1_200_000_000), source)
    Copier.new(source, path("copy"))
    assert_equal 0640, File.stat(path("copy")).mode & 07777
    assert_equal Time.at(1_200_000_000), File.mtime(path("copy"))
  end

  def test_copy_failing_midway_removes_the_partial_destination
    skip_on_windows "file size limits are a POSIX resource limit"
    source = make_file("source", "x" * (4 * 1024 * 1024))
    destination = path("destination")
    status, = run_child(<<-RUBY)
      require "kalvera"
      Signal.trap("XFSZ", "IGNORE")
      Process.setrlimit(Process::RLIMIT_FSIZE, 1024 * 1024)
      KalveraMod::FileCopier.new(#{source.dump}, #{destination.dump})
    RUBY
    assert status.success?
    refute File.exist?(destination)
  end

  def test_arguments_go_through_string_conversion
    source = make_file("source", "data")
    named = path("converted")
    Copier.new(source, string_like(named))
    assert_equal "data", read(named)

    [[42, path("a")], [source, 42], [nil, nil]].each do |from, to|
      assert_raises(TypeError) { Copier.new(from, to) }
    end
    assert_equal %w[converted source], entries
  end
end
