require "test_helper"

class TestRegistration < Minitest::Test
  include KalveraTest

  def test_module_and_classes
    assert_instance_of Module, KalveraMod
    [KalveraMod::TextFileWriter, KalveraMod::FileCopier].each do |klass|
      assert_instance_of Class, klass
      assert_equal Object, klass.superclass
    end
  end

  def test_script_visible_methods
    assert_equal %i[<< close puts valid?], KalveraMod::TextFileWriter.public_instance_methods(false).sort
    assert_equal [], KalveraMod::FileCopier.public_instance_methods(false)
    assert_respond_to KalveraMod, :isFolderWritable?
    assert_respond_to KalveraMod::FileCopier, :exist?
    refute_respond_to KalveraMod, :exist?
  end

  def test_wrong_argument_counts_raise_before_any_file_is_touched
    source = path("source.txt")
    File.open(source, "wb") { |f| f.write("x") }
    calls = [
      -> { KalveraMod::TextFileWriter.new },
      -> { KalveraMod::TextFileWriter.new(path("a.txt"), path("b.txt")) },
      -> { KalveraMod::FileCopier.new(source) },
      -> { KalveraMod::FileCopier.new(source, path("b.txt"), path("c.txt")) },
      -> { KalveraMod::FileCopier.exist? },
      -> { KalveraMod::FileCopier.exist?(source, source) },
      -> { KalveraMod.isFolderWritable? },
      -> { KalveraMod.isFolderWritable?(@dir, @dir) }
    ]
    calls.each_with_index do |call, i|
      assert_raises(ArgumentError, "call #{i}") { call.call }
    end
    assert_equal ["source.txt"], entries

    writer = KalveraMod::TextFileWriter.new(path("a.txt"))
    [-> { writer.puts }, -> { writer.puts("a", "b") }, -> { writer.close(1) }, -> { writer.valid?(1) }].each do |call|
      assert_raises(ArgumentError) { call.call }
    end
    assert writer.close
    assert_equal "", read(path("a.txt"))
  end
end
