require "test_helper"

class TestFileChecks < KalveraTest::TestCase
  def exist?(p)
    KalveraMod::FileCopier.exist?(p)
  end

  def writable?(p)
    KalveraMod.isFolderWritable?(p)
  end

  def test_exist_answers_without_changing_anything
    file = path("file.txt")
    File.open(file, "wb") { |f| f.write("contents\n\x1A") } # text mode would cut the Ctrl-Z
    File.utime(Time.at(1_000_000_000), Time.at(1_000_000_000), file)
    cases = {
      file => true,
      path("missing.txt") => false,
      path("missing", "file.txt") => false,
      @dir => false,
      "#{file}\0tail" => false,
      "" => false
    }
    %w[a*b q? a<b a|b con].each { |name| cases[path(name)] = false } if WINDOWS
    cases.each { |p, expected| assert_equal expected, exist?(p), p.inspect }
    assert_equal "contents\n\x1A", read(file)
    assert_equal Time.at(1_000_000_000), File.mtime(file)
    assert_equal ["file.txt"], entries
  end

  def test_is_folder_writable
    file = path("file.txt")
    File.open(file, "wb") { |f| f.write("x") }
    cases = {
      @dir => true,
      file => true,
      path("missing") => false,
      "#{@dir}\0tail" => false,
      "" => false
    }
    cases.each { |p, expected| assert_equal expected, writable?(p), p.inspect }
    assert_equal ["file.txt"], entries
  end

  def test_non_strings
    assert_raises(TypeError) { writable?(42) }
    assert_raises(TypeError) { exist?(42) }
    assert_raises(TypeError) { exist?(nil) }
    assert_equal true, writable?(string_like(@dir))
  end

  def test_read_only_attribute_on_windows
    skip_unless_windows "the read-only attribute is what Windows checks"
    file = path("read-only.txt")
    File.open(file, "wb") { |f| f.write("x") }
    File.chmod(0444, file)
    assert_equal [false, false], [exist?(file), writable?(file)]
    File.chmod(0666, file)
    assert_equal [true, true], [exist?(file), writable?(file)]
  end

  def test_read_only_file_and_folder_for_an_unprivileged_user
    read_only = path("read-only.txt")
    writable = path("writable.txt")
    locked = path("locked")
    [read_only, writable].each { |f| File.open(f, "wb") { |io| io.write("x") } }
    Dir.mkdir(locked)
    File.chmod(0444, read_only)
    File.chmod(0666, writable)
    File.chmod(0555, locked)
    File.chmod(0777, @dir)
    answers = as_unprivileged_user do
      [exist?(read_only), exist?(writable), writable?(locked), writable?(@dir), writable?(read_only)]
    end
    assert_equal [false, true, false, true, false], answers
  end
end
