require "test_helper"

class TestTextFileWriter < KalveraTest::TestCase
  Writer = KalveraMod::TextFileWriter

  # Writes through a fresh writer, closes it and answers the file's bytes.
  def written
    file = path("out.txt")
    writer = Writer.new(file)
    yield writer
    assert writer.close
    read(file)
  end

  def assert_closed_state(writer)
    refute writer.valid?
    assert_equal false, writer.puts("x")
    assert_equal false, writer << "x"
    assert_equal true, writer.close
    assert_equal true, writer.close
  end

  PUTS_CASES = {
    "" => "\n",
    "a" => "a\n",
    "a\n" => "a\n",
    "a\n\n" => "a\n\n",
    "a\nb" => "a\nb\n",
    "a\0b" => "a\0b\n", # NUL is data, never the end of the text
    "\0" => "\0\n"
  }.freeze

  def test_puts_ends_every_line_with_one_newline
    PUTS_CASES.each do |text, expected|
      result = nil
      assert_equal on_disk(expected), written { |w| result = w.puts(text) }, text.inspect
      assert_equal true, result
    end
  end

  APPEND_CASES = {
    "" => "",
    "abc" => "abc",
    "a\nb" => "a\nb",
    "a\0b" => "a\0b"
  }.freeze

  def test_append_writes_bytes_unchanged
    APPEND_CASES.each do |text, expected|
      result = nil
      assert_equal on_disk(expected), written { |w| result = w << text }, text.inspect
      assert_equal true, result
    end
  end

  def test_append_answers_state_not_the_writer
    content = written do |w|
      assert_equal true, w << "a"
      assert_raises(NoMethodError) { w << "b" << "c" } # the second << goes to true
    end
    assert_equal "ab", content
  end

  def test_text_bytes_reach_the_file_unchanged
    text = "h#{u(0xe9)}llo #{u(0x2713)} #{u(0x1F600)}\n#{u(0x5e2, 0x5d1, 0x5e8, 0x5d9, 0x5ea)}\n"
    binary = bytes("\xFF\xFE\x80 not UTF-8")
    content = written do |w|
      w << text
      w.puts binary
    end
    assert_equal on_disk(text) + on_disk(binary + "\n"), content
    refute content.start_with?(bytes("\xEF\xBB\xBF")), "no byte-order mark"
  end

  def test_arguments_go_through_string_conversion
    to_str = string_like("converted")
    assert_equal on_disk("converted\nconverted"), written { |w| w.puts(to_str); w << to_str }

    [42, nil, :sym, 1.5].each do |bad|
      assert_raises(TypeError, bad.inspect) { Writer.new(bad) }
      assert_equal ["out.txt"], entries
      assert_equal "", written { |w| assert_raises(TypeError) { w.puts(bad) }; assert_raises(TypeError) { w << bad } }
    end
    named = path("named.txt")
    assert Writer.new(string_like(named)).close
    assert File.file?(named)
  end

  def test_path_with_nul_is_refused_not_truncated
    writer = Writer.new(path("a.txt") + "\0b.txt")
    assert_closed_state(writer)
    assert_equal [], entries
  end

  def test_unopenable_paths_give_a_failed_writer
    paths = [path("missing", "a.txt"), @dir, ""]
    paths << path("a*b.txt") << path("q?.txt") << path("a<b") << path("a|b") << path("con") if WINDOWS
    paths.each do |p|
      writer = Writer.new(p)
      refute writer.valid?, p
      assert_equal false, writer.puts("x")
      assert_equal false, writer << "x"
      assert_equal true, writer.close
    end
    assert_equal [], entries
  end

  def test_closed_writer_writes_nothing
    file = path("out.txt")
    writer = Writer.new(file)
    assert writer.puts("kept")
    assert writer.close
    assert_closed_state(writer)
    assert_equal on_disk("kept\n"), read(file)
  end

  def test_new_empties_an_existing_file_at_once
    file = path("out.txt")
    File.open(file, "wb") { |f| f.write("old contents") }
    writer = Writer.new(file)
    assert writer.valid?
    assert_equal 0, File.size(file)
    assert writer.close
    assert_equal "", read(file)
  end

  def test_allocated_writer_behaves_as_closed
    assert_closed_state(Writer.allocate)
    assert_closed_state(Writer.new(path("a.txt")).dup)
  end

  def test_initialize_again_closes_the_first_file
    first = path("first.txt")
    second = path("second.txt")
    writer = Writer.new(first)
    writer.puts "one"
    writer.send(:initialize, second)
    assert_equal on_disk("one\n"), read(first)
    writer.puts "two"
    assert writer.close
    assert_equal on_disk("two\n"), read(second)
  end

  def test_close_reports_a_failed_final_flush
    skip_on_windows "/dev/full is a Linux device"
    writer = Writer.new("/dev/full")
    assert writer.valid?
    assert_equal true, writer.puts("buffered, not yet written")
    assert_equal false, writer.close
    assert_equal true, writer.close
  end

  def test_unclosed_writers_are_flushed_at_exit_and_by_the_collector
    file = path("unclosed.txt")
    dropped = path("dropped.txt")
    code = <<-RUBY
      require "kalvera"
      def drop(file)
        w = KalveraMod::TextFileWriter.new(file)
        w.puts "dropped"
        nil
      end
      drop(#{dropped.dump})
      5.times { GC.start }
      print File.size(#{dropped.dump})
      w = KalveraMod::TextFileWriter.new(#{file.dump})
      1000.times { |i| w.puts "line \#{i}" }
    RUBY
    status, out = run_child(code)
    assert status.success?
    expected = (0...1000).map { |i| "line #{i}\n" }.join
    assert_equal on_disk(expected), read(file)
    assert_equal on_disk("dropped\n"), read(dropped)
    assert_includes [0, on_disk("dropped\n").size], Integer(out) # the collector may keep it alive
  end
end
