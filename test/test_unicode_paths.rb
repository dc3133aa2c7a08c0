require "test_helper"

class TestUnicodePaths < KalveraTest::TestCase
  NAMES = {
    "CJK" => u(0x65e5, 0x672c, 0x8a9e, 0x30c6, 0x30ad, 0x30b9, 0x30c8) + ".txt",
    "Greek" => u(0x0395, 0x03bb, 0x03bb, 0x03b7, 0x03bd, 0x03b9, 0x03ba, 0x03ac) + ".txt",
    "Hebrew" => u(0x05e2, 0x05d1, 0x05e8, 0x05d9, 0x05ea) + ".txt",
    "combining marks" => "e#{u(0x0301)}a#{u(0x0308, 0x0323)}.txt", # stays decomposed
    "beyond the BMP" => u(0x1F600, 0x1D11E, 0x20000) + ".txt",
    "Latin-1 range" => "na#{u(0xef)}ve caf#{u(0xe9)}.txt"
  }.freeze

  def test_writer_creates_exactly_the_named_file
    NAMES.each do |script, name|
      writer = KalveraMod::TextFileWriter.new(path(name))
      assert writer.valid?, script
      assert writer.puts(name)
      assert writer.close
      assert_equal [name], entries, script
      assert_equal on_disk("#{name}\n"), read(path(name)), script
      delete(path(name))
    end
  end

  def test_copier_and_checks_take_unicode_names
    source = make_file("source.txt", "data")
    NAMES.each do |script, name|
      KalveraMod::FileCopier.new(source, path(name))
      assert_equal "data", read(path(name)), script
      assert KalveraMod::FileCopier.exist?(path(name)), script
      folder = path("#{name}.d")
      mkdir(folder)
      assert KalveraMod.isFolderWritable?(folder), script
    end
    assert_equal NAMES.values.map { |n| [n, "#{n}.d"] }.flatten.push("source.txt").sort, entries
  end

  # Bytes that make up file names: ASCII, continuation bytes, every kind of lead byte, and the
  # edges of the well-formed ranges (overlongs, surrogates, beyond U+10FFFF).
  NAME_BYTES = "abcde".unpack("C*") + [0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                                       0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF]

  def test_malformed_utf8_names_become_replacement_characters
    random = seeded_random(20_261_211)
    seen = {}
    3000.times do
      raw = Array.new(random.rand(1..10)) { NAME_BYTES[random.rand(NAME_BYTES.size)] }.pack("C*")
      name = utf8(raw)
      writer = KalveraMod::TextFileWriter.new(bytes(@dir) + "/" + raw)
      assert writer.valid?, name.inspect
      assert writer.close
      created = entries
      assert_equal 1, created.size, name.inspect
      # The platform converter decides what malformed input becomes; ours follows Ruby's scrub.
      assert_equal [scrubbed(name)], created, name.inspect unless WINDOWS
      delete(File.join(@dir, created.first))
      seen[valid_utf8?(name)] = true
    end
    assert_equal({ true => true, false => true }, seen)
  end
end
