require "test_helper"

class TestRegistration < KalveraTest::TestCase
  def test_module_and_classes
    assert_instance_of Module, KalveraMod
    [KalveraMod::TextFileWriter, KalveraMod::FileCopier].each do |klass|
      assert_instance_of Class, klass
      assert_equal Object, klass.superclass
    end
  end

  def test_script_visible_methods
    # Names are Strings on Ruby 1.8, Symbols later.
    names = KalveraMod::TextFileWriter.public_instance_methods(false).map { |m| m.to_s }.sort
    assert_equal %w[<< close puts valid?], names
    assert_equal [], KalveraMod::FileCopier.public_instance_methods(false)
    assert_respond_to KalveraMod, :isFolderWritable?
    assert_respond_to KalveraMod::FileCopier, :exist?
    refute_respond_to KalveraMod, :exist?
  end

  def test_wrong_argument_counts_raise_before_any_file_is_touched
    source = path("source.txt")
    File.open(source, "wb") { |f| f.write("x") }
    calls = [
      lambda { KalveraMod::TextFileWriter.new },
      lambda { KalveraMod::TextFileWriter.new(path("a.txt"), path("b.txt")) },
      lambda { KalveraMod::FileCopier.new(source) },
      lambda { KalveraMod::FileCopier.new(source, path("b.txt"), path("c.txt")) },
      lambda { KalveraMod::FileCopier.exist? },
      lambda { KalveraMod::FileCopier.exist?(source, source) },
      lambda { KalveraMod.isFolderWritable? },
      lambda { KalveraMod.isFolderWritable?(@dir, @dir) }
    ]
    calls.each_with_index do |call, i|
      assert_raises(ArgumentError, "call #{i}") { call.call }
    end
    assert_equal ["source.txt"], entries

    writer = KalveraMod::TextFileWriter.new(path("a.txt"))
    [lambda { writer.puts }, lambda { writer.puts("a", "b") }, lambda { writer.close(1) },
     lambda { writer.valid?(1) }].each do |call|
      assert_raises(ArgumentError) { call.call }
    end
    assert writer.close
    assert_equal "", read(path("a.txt"))
  end
end
