require "test_helper"

class TestUnicodePaths < Minitest::Test
  include KalveraTest

  NAMES = {
    "CJK" => "\u65e5\u672c\u8a9e\u30c6\u30ad\u30b9\u30c8.txt",
    "Greek" => "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac.txt",
    "Hebrew" => "\u05e2\u05d1\u05e8\u05d9\u05ea.txt",
    "combining marks" => "e\u0301a\u0308\u0323.txt", # stays decomposed
    "beyond the BMP" => "\u{1F600}\u{1D11E}\u{20000}.txt",
    "Latin-1 range" => "na\u00efve caf\u00e9.txt"
  }.freeze

  def test_writer_creates_exactly_the_named_file
    NAMES.each do |script, name|
      writer = KalveraMod::TextFileWriter.new(path(name))
      assert writer.valid?, script
      assert writer.puts(name)
      assert writer.close
      assert_equal [name], entries, script
      assert_equal on_disk("#{name}\n"), read(path(name)), script
      File.delete(path(name))
    end
  end

  def test_copier_and_checks_take_unicode_names
    source = path("source.txt")
    File.open(source, "wb") { |f| f.write("data") }
    NAMES.each do |script, name|
      KalveraMod::FileCopier.new(source, path(name))
      assert_equal "data", read(path(name)), script
      assert KalveraMod::FileCopier.exist?(path(name)), script
      folder = path("#{name}.d")
      Dir.mkdir(folder)
      assert KalveraMod.isFolderWritable?(folder), script
    end
    assert_equal NAMES.values.flat_map { |n| [n, "#{n}.d"] }.push("source.txt").sort, entries
  end

  # Bytes that make up file names: ASCII, continuation bytes, every kind of lead byte, and the
  # edges of the well-formed ranges (overlongs, surrogates, beyond U+10FFFF).
  NAME_BYTES = ("a".."e").to_a.map(&:ord) + [0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                                             0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF]

  def test_malformed_utf8_names_become_replacement_characters
    random = Random.new(20_261_211)
    seen = {}
    3000.times do
      bytes = Array.new(random.rand(1..10)) { NAME_BYTES[random.rand(NAME_BYTES.size)] }.pack("C*")
      name = bytes.dup.force_encoding("UTF-8")
      writer = KalveraMod::TextFileWriter.new(@dir.b + "/" + bytes)
      assert writer.valid?, name.inspect
      assert writer.close
      created = entries
      assert_equal 1, created.size, name.inspect
      # The platform converter decides what malformed input becomes; ours follows Ruby's scrub.
      assert_equal [name.scrub("\uFFFD")], created, name.inspect unless WINDOWS
      File.delete(File.join(@dir, created.first))
      seen[name.valid_encoding?] = true
    end
    assert_equal({ true => true, false => true }, seen)
  end
end
