# The benchmark cases, one per process: `ruby -I EXT_DIR bench/cases.rb ID` runs case ID and
# prints its measurements as JSON on stdout. bench/run.rb runs them all, on Ruby 3.1 and 1.8.7,
# and writes the report. Like bench/harness.rb, this file keeps to what Ruby 1.8.7 reads.
#
# Both sides of a ratio do the same work to the same durability: they open, write and close
# their files inside the timed region, nobody syncs, and each run writes a fresh path.
require File.expand_path("../harness", __FILE__)
require "fileutils"
require "kalvera"

module KalveraBench
  # Non-ASCII text built from code points, as Ruby 1.8 has no "\u" escapes.
  E_ACUTE = [0xe9].pack("U*").freeze
  NIHONGO = [0x65e5, 0x672c, 0x8a9e].pack("U*").freeze
  LINE = "A line of text, r#{E_ACUTE}sum#{E_ACUTE} #{NIHONGO}, sixty bytes long: 012345".freeze
  raise "LINE must be 60 bytes, not #{LINE.bytesize}" unless LINE.bytesize == 60
  LINE_NL = "#{LINE}\n".freeze

  Writer = KalveraMod::TextFileWriter
  Copier = KalveraMod::FileCopier

  CASES = {}

  def self.define(id, &block)
    CASES[id] = block
  end

  def self.count(n)
    n.to_s.reverse.scan(/\d{1,3}/).join(",").reverse
  end

  def self.size_of?(bytes)
    lambda { |out| File.file?(out) && File.size(out) == bytes }
  end

  define("1") do
    n = Settings.scaled(1_000_000)
    c = Case.new("1", "#{KalveraBench.count(n)} puts of a 60-byte line", { "lines" => n, "line_bytes" => 60 })
    joined = LINE_NL * n
    full = KalveraBench.size_of?(joined.bytesize)
    c.runner("kalvera puts", :verify => full) do |out|
      w = Writer.new(out)
      i = 0
      while i < n
        w.puts(LINE)
        i += 1
      end
      w.close or raise "close failed"
    end
    c.runner("File#puts", :verify => full) do |out|
      File.open(out, "w") do |f|
        i = 0
        while i < n
          f.puts(LINE)
          i += 1
        end
      end
    end
    c.runner("one IO#write of the joined text", :verify => full) do |out|
      File.open(out, "w") { |f| f.write(joined) }
    end
    # What no per-line API can go below: the same loop calling a C method that writes nothing.
    c.runner("writer.valid? calls, no write", :verify => KalveraBench.size_of?(0)) do |out|
      w = Writer.new(out)
      i = 0
      while i < n
        w.valid?
        i += 1
      end
      w.close or raise "close failed"
    end
    c.compare("kalvera puts", "File#puts", :goal => 0.35)
    c.compare("kalvera puts", "one IO#write of the joined text", :goal => 1.5)
    c.compare("writer.valid? calls, no write", "one IO#write of the joined text", :kind => :reference)
    c
  end

  define("2") do
    n = Settings.scaled(1_000_000)
    c = Case.new("2", "#{KalveraBench.count(n)} << of a 60-byte line and its \"\\n\"", { "lines" => n, "line_bytes" => 61 })
    full = KalveraBench.size_of?(LINE_NL.bytesize * n)
    c.runner("kalvera <<", :verify => full) do |out|
      w = Writer.new(out)
      i = 0
      while i < n
        w << LINE_NL
        i += 1
      end
      w.close or raise "close failed"
    end
    c.runner("IO#write per line", :verify => full) do |out|
      File.open(out, "w") do |f|
        i = 0
        while i < n
          f.write(LINE_NL)
          i += 1
        end
      end
    end
    c.compare("kalvera <<", "IO#write per line", :goal => 0.5)
    c
  end

  define("3") do
    size = Settings.scaled(256 << 20)
    c = Case.new("3", "copy of a #{size >> 20} MiB file", { "bytes" => size })
    source = KalveraBench.make_source(File.join(c.dir, "source.bin"), size)
    full = KalveraBench.size_of?(size)
    c.runner("kalvera FileCopier.new", :verify => full) { |out| Copier.new(source, out) }
    c.runner("IO.copy_stream", :verify => full, :needs => "IO.copy_stream") { |out| IO.copy_stream(source, out) }
    c.runner("cp (whole process)", :verify => full) { |out| system("cp", source, out) or raise "cp failed" }
    c.runner("FileUtils.copy_file", :verify => full) { |out| FileUtils.copy_file(source, out) }
    # The baseline against itself: how far from 1 the machine's noise alone puts a ratio.
    c.runner("IO.copy_stream, again", :verify => full, :needs => "IO.copy_stream") { |out| IO.copy_stream(source, out) }
    c.compare("kalvera FileCopier.new", "IO.copy_stream", :goal => 1.0)
    c.compare("kalvera FileCopier.new", "cp (whole process)")
    c.compare("kalvera FileCopier.new", "FileUtils.copy_file")
    c.compare("IO.copy_stream, again", "IO.copy_stream", :kind => :reference)
    c
  end

  define("4") do
    n = Settings.scaled(2000)
    c = Case.new("4", "copy of #{KalveraBench.count(n)} files of 4 KiB onto new names", { "files" => n, "file_bytes" => 4096 },
                 :keep_outputs => true)
    sources = File.join(c.dir, "sources")
    Dir.mkdir(sources)
    block = KalveraBench.random_bytes(4, 4096)
    from = (0...n).map { |i| File.join(sources, format("source-%05d.dat", i)) }
    from.each { |name| File.open(name, "wb") { |f| f.write(block) } }
    # Untimed: a fresh directory and the new names, the same for every runner.
    names = lambda do |out|
      Dir.mkdir(out)
      (0...n).map { |i| File.join(out, format("copy-%05d.dat", i)) }
    end
    all_copied = lambda { |out| Dir.entries(out).size - 2 == n && File.size(File.join(out, "copy-00000.dat")) == 4096 }
    c.runner("kalvera FileCopier.new", :prepare => names, :verify => all_copied) do |to|
      i = 0
      while i < n
        Copier.new(from[i], to[i])
        i += 1
      end
    end
    c.runner("FileUtils.copy_file", :prepare => names, :verify => all_copied) do |to|
      i = 0
      while i < n
        FileUtils.copy_file(from[i], to[i])
        i += 1
      end
    end
    c.runner("IO.copy_stream", :prepare => names, :verify => all_copied, :needs => "IO.copy_stream") do |to|
      i = 0
      while i < n
        IO.copy_stream(from[i], to[i])
        i += 1
      end
    end
    # Less than any copy does: the new files written from memory (open, write, close), with no
    # source to open or read and no permissions or times to carry.
    c.runner("write the new files from memory", :prepare => names, :verify => all_copied) do |to|
      i = 0
      while i < n
        File.open(to[i], File::WRONLY | File::CREAT | File::EXCL, 0644) { |f| f.write(block) }
        i += 1
      end
    end
    c.compare("kalvera FileCopier.new", "FileUtils.copy_file", :goal => 0.5)
    c.compare("write the new files from memory", "FileUtils.copy_file", :kind => :reference)
    c.compare("kalvera FileCopier.new", "IO.copy_stream")
    c
  end

  define("5") do
    n = Settings.scaled(100_000)
    c = Case.new("5", "#{KalveraBench.count(n)} checks of one file: exist? against File.writable?", { "calls" => n })
    target = File.join(c.dir, "r#{E_ACUTE}sum#{E_ACUTE} #{NIHONGO}.txt")
    File.open(target, "wb") { |f| f.write("x") }
    raise "the target must pass both checks" unless Copier.exist?(target) && File.writable?(target)
    c.runner("kalvera exist?") do
      i = 0
      while i < n
        Copier.exist?(target)
        i += 1
      end
    end
    c.runner("File.writable?") do
      i = 0
      while i < n
        File.writable?(target)
        i += 1
      end
    end
    c.compare("kalvera exist?", "File.writable?", :goal => 1.0)
    c
  end

  # Case 6, memory: each figure comes from a fresh process, so no run inherits another's heap.
  PROBES = {
    "copy-kalvera" => lambda { |source, out, _| Copier.new(source, out) },
    "copy-stream" => lambda { |source, out, _| IO.copy_stream(source, out) },
    "puts-kalvera" => lambda do |_, out, n|
      w = Writer.new(out)
      i = 0
      while i < n
        w.puts(LINE)
        i += 1
      end
      w.close
    end,
    "puts-file" => lambda do |_, out, n|
      File.open(out, "w") do |f|
        i = 0
        while i < n
          f.puts(LINE)
          i += 1
        end
      end
    end
  }.freeze

  def self.probe(name, amount)
    dir = Dir.mktmpdir("kalvera-bench-probe-", Settings.dir)
    begin
      source = name.start_with?("copy") ? make_source(File.join(dir, "source.bin"), amount) : nil
      out = File.join(dir, "out")
      GC.start
      growth = peak_growth { PROBES.fetch(name).call(source, out, amount) }
      expected = source ? amount : amount * LINE_NL.bytesize
      raise "#{name}: incomplete output" unless File.size?(out) == expected
      growth
    ensure
      FileUtils.rm_rf(dir)
    end
  end

  # The child loads the extension from where this process found it.
  def self.probe_in_child(name, amount)
    ext_dir = $LOAD_PATH.find { |d| File.exist?(File.join(d, "kalvera.so")) } or raise "kalvera.so not on the load path"
    output = capture([ruby, "-I", File.expand_path(ext_dir), __FILE__, "probe", name, amount.to_s])
    raise "probe #{name} failed" unless $?.success?
    output =~ /\A\d+\z/ ? Integer(output) : nil
  end

  define("6") do
    copy = Settings.scaled(256 << 20)
    big = Settings.scaled(1 << 30)
    lines = Settings.scaled(1_000_000)
    # Without IO.copy_stream (Ruby 1.8) the copy rows have kalvera's figure and no baseline.
    stream = KalveraBench.has?("IO.copy_stream") ? "IO.copy_stream" : nil
    rows = [
      ["copy of #{copy >> 20} MiB", "copy", copy, stream, 16 << 20],
      ["copy of #{big >> 20} MiB", "copy", big, stream, 16 << 20],
      ["puts of #{count(lines)} lines", "puts", lines, "File#puts", nil],
      ["puts of #{count(lines * 4)} lines", "puts", lines * 4, "File#puts", nil]
    ]
    memory = rows.map do |label, kind, amount, baseline, limit|
      warn "  #{label}"
      ours = probe_in_child("#{kind}-kalvera", amount)
      theirs = baseline ? probe_in_child(kind == "copy" ? "copy-stream" : "puts-file", amount) : nil
      { "label" => label, "kind" => kind, "kalvera" => ours, "baseline" => baseline, "baseline_bytes" => theirs,
        "limit" => limit, "missing" => baseline ? nil : "IO.copy_stream" }
    end
    identity.merge("id" => "6", "title" => "peak resident memory growth", "memory" => memory)
  end

  def self.main(argv)
    if argv[0] == "probe"
      $stdout.write(probe(argv[1], Integer(argv[2])).to_s)
      return
    end
    id = argv.fetch(0)
    made = CASES.fetch(id).call
    result = made.is_a?(Case) ? made.run(Settings.rounds) : made
    $stdout.write(json(result))
  end
end

KalveraBench.main(ARGV) if $PROGRAM_NAME == __FILE__
