# The measuring side of `rake bench`, loaded by each case process (bench/cases.rb).
#
# Every runner of a case does the same work on its own fresh output path. Round after round the
# runners take turns, in an order that rotates so none always goes first; a ratio is taken
# between two runners of the same round, as close in time as the machine allows.
#
# The cases also run on Ruby 1.8.7, so this file and bench/cases.rb keep to what 1.8.7 reads:
# no `->`, no keyword arguments (options hashes instead), no `\u` escapes, no json library.
require "fileutils"
require "rbconfig"
require "shellwords"
require "tmpdir"

module KalveraBench
  # Settings shared by the driver and the case processes, all from the environment so a child
  # inherits them unchanged.
  module Settings
    MIN_ROUNDS = 5

    module_function

    def quick?
      ENV["KALVERA_BENCH_QUICK"].to_s =~ /\A(1|true|yes)\z/i ? true : false
    end

    def rounds
      wanted = Integer(ENV["KALVERA_BENCH_ROUNDS"] || (quick? ? MIN_ROUNDS : 9))
      wanted < MIN_ROUNDS ? MIN_ROUNDS : wanted
    end

    # Multiplies every count and size: 0.1 for a quick look.
    def scale
      Float(ENV["KALVERA_BENCH_SCALE"] || (quick? ? 0.1 : 1))
    end

    def scaled(count)
      value = (count * scale).round
      value < 1 ? 1 : value
    end

    # Where the cases put their files: on the file system whose speed is measured.
    def dir
      ENV["KALVERA_BENCH_DIR"] || Dir.tmpdir
    end

    def linux?
      RbConfig::CONFIG["host_os"] =~ /linux/ ? true : false
    end
  end

  if defined?(Process::CLOCK_MONOTONIC)
    CLOCK = "monotonic".freeze
    def self.now
      Process.clock_gettime(Process::CLOCK_MONOTONIC)
    end
  else
    # Ruby 1.8 has no monotonic clock. Time.now is gettimeofday: microseconds, and only a step
    # of the system clock during a run (none is made here) would move it.
    CLOCK = "Time.now".freeze
    def self.now
      Time.now.to_f
    end
  end

  # The interpreter running this process, for the children it starts (RbConfig.ruby is 1.9+).
  def self.ruby
    c = RbConfig::CONFIG
    File.join(c["bindir"], c["ruby_install_name"] + c["EXEEXT"].to_s)
  end

  # A child's standard output. Ruby 1.8's IO.popen takes one shell command, not an argument list.
  def self.capture(argv)
    command = RUBY_VERSION < "1.9" ? argv.map { |a| Shellwords.escape(a) }.join(" ") : argv
    IO.popen(command) { |io| io.read }
  end

  # Whether this interpreter has a class method named "Const.method", as a runner may need.
  def self.has?(feature)
    const, method = feature.split(".", 2)
    Object.const_defined?(const) && Object.const_get(const).respond_to?(method)
  end

  # The case results as JSON: Ruby 1.8 has no json library, and the driver parses it on 3.1.
  def self.json(value)
    case value
    when Hash then "{" + value.map { |k, v| "#{json(k.to_s)}:#{json(v)}" }.join(",") + "}"
    when Array then "[" + value.map { |v| json(v) }.join(",") + "]"
    when String, Symbol
      '"' + value.to_s.gsub(/["\\\x00-\x1f]/) { |c| c == '"' || c == "\\" ? "\\#{c}" : format("\\u%04x", c.unpack("C")[0]) } + '"'
    when Float
      raise ArgumentError, "#{value} has no JSON form" if value.nan? || value.infinite?
      text = value.to_s # shortest on 3.1; Ruby 1.8 rounds to 15 digits, so check it reads back
      text = format("%.17g", value) unless Float(text) == value
      text =~ /[.e]/ ? text : "#{text}.0" # 1.0 stays a Float once parsed
    when Integer then value.to_s
    when true then "true"
    when false then "false"
    when nil then "null"
    else raise ArgumentError, "no JSON form for #{value.class}"
    end
  end

  # Ruby 1.8 has no Random class; any seeded bytes serve, as long as they do not repeat.
  def self.random_bytes(seed, size)
    return Random.new(seed).bytes(size) if defined?(Random) && Random.method_defined?(:bytes)
    srand(seed)
    Array.new((size + 3) / 4) { rand(1 << 32) }.pack("L*")[0, size]
  end

  Runner = Struct.new(:name, :prepare, :work, :verify, :times)

  # One case: its runners, the ratios asked of them, its scratch directory.
  class Case
    attr_reader :dir

    # :keep_outputs => true: leave every run's output until the case ends. For many small
    # files: ext4 without a journal will not reuse an inode deleted less than a minute ago (six
    # while its inode table block is dirty) and scans past each one, so deleting 2,000 files just
    # before the next run creates 2,000 made every create several times slower, for every runner
    # alike (recently_deleted() at the top of a kernel profile).
    def initialize(id, title, params, options = {})
      @id = id
      @keep_outputs = options[:keep_outputs] ? true : false
      @title = title
      @params = params
      @runners = []
      @comparisons = []
      @left_out = {}
      @dir = Dir.mktmpdir("kalvera-bench-#{id}-", Settings.dir)
      @runs = 0
    end

    # The block is the timed work; it gets what :prepare (untimed) made of a fresh output path,
    # or the path itself. :verify (untimed) checks the work was done in full. :needs names a
    # class method ("IO.copy_stream") without which the runner is left out on this interpreter.
    def runner(name, options = {}, &work)
      needs = options[:needs]
      if needs && !KalveraBench.has?(needs)
        @left_out[name] = needs
        return
      end
      @runners << Runner.new(name, options[:prepare], work, options[:verify], [])
    end

    # :kind is :goal (a ratio the extension must reach), :report (shown, no goal) or :reference
    # (a bound that explains a goal, not the extension itself). A comparison with a runner left
    # out stays in the list, marked with what was missing and without ratios.
    def compare(contender, baseline, options = {})
      goal = options[:goal]
      kind = options[:kind] || (goal ? :goal : :report)
      comparison = { "contender" => contender, "baseline" => baseline, "goal" => goal, "kind" => kind.to_s }
      missing = [contender, baseline].map { |name| @left_out[name] }.compact.uniq
      comparison["missing"] = missing.join(", ") unless missing.empty?
      @comparisons << comparison
    end

    def run(rounds)
      @runners.each { |r| measure(r) } # warm-up: caches, page cache, first-call costs
      rounds.times do |round|
        turn = round % @runners.size
        (@runners[turn..-1] + @runners[0, turn]).each { |r| r.times << measure(r) }
      end
      result
    ensure
      FileUtils.rm_rf(@dir)
      # Written back, deleted inodes stay unusable for one minute instead of six (see above).
      KalveraBench.sync
    end

    private

    def measure(runner)
      out = File.join(@dir, "run-#{@runs += 1}")
      argument = runner.prepare ? runner.prepare.call(out) : out
      settle
      start = KalveraBench.now
      runner.work.call(argument)
      elapsed = KalveraBench.now - start
      if runner.verify && !runner.verify.call(out)
        raise "#{@title}: #{runner.name} did not do the whole work"
      end
      # Removed before any writeback: the next run finds no dirty pages of this one.
      FileUtils.rm_rf(out) unless @keep_outputs
      elapsed
    end

    # Every run starts from the same state: no writeback pending, no garbage left by another.
    def settle
      KalveraBench.sync
      GC.start
    end

    def result
      runners = {}
      @runners.each { |r| runners[r.name] = r.times }
      comparisons = @comparisons.map do |c|
        next c if c["missing"]
        a = runners.fetch(c["contender"])
        b = runners.fetch(c["baseline"])
        c.merge("ratios" => a.zip(b).map { |x, y| x / y })
      end
      KalveraBench.identity.merge("id" => @id, "title" => @title, "params" => @params, "runners" => runners,
                                  "comparisons" => comparisons)
    end
  end

  # Which interpreter and clock a result comes from.
  def self.identity
    patch = defined?(RUBY_PATCHLEVEL) ? RUBY_PATCHLEVEL : nil
    { "ruby" => RUBY_VERSION, "patchlevel" => patch, "platform" => RUBY_PLATFORM, "clock" => CLOCK }
  end

  # sync(2) called in this process: spawning `sync` would fork, and every page the parent
  # touches afterwards takes a copy-on-write fault, a cost that lands in the next timed run
  # in proportion to the memory a runner writes (the writer's buffer more than File's).
  # Fiddle on Ruby 2+, DL on 1.8.
  def self.sync
    return unless Settings.linux?
    @sync = sync_function unless defined?(@sync)
    @sync ? @sync.call : system("sync")
  end

  def self.sync_function
    begin
      require "fiddle"
      return Fiddle::Function.new(Fiddle.dlopen(nil)["sync"], [], Fiddle::TYPE_VOID)
    rescue LoadError, StandardError
      nil
    end
    begin
      require "dl"
      DL.dlopen(nil)["sync", "0"]
    rescue LoadError, StandardError
      false
    end
  end

  # Peak resident memory growth of this process while the block runs, in bytes: the kernel's
  # high-water mark is reset to the current size first. Nil where that reset is not offered.
  def self.peak_growth
    return nil unless File.exist?("/proc/self/clear_refs")
    begin
      File.open("/proc/self/clear_refs", "w") { |f| f.write("5") }
    rescue SystemCallError
      return nil
    end
    before = status_kib("VmRSS")
    yield
    (status_kib("VmHWM") - before) * 1024
  end

  def self.status_kib(field)
    File.foreach("/proc/self/status") { |line| return Integer(line[/\d+/]) if line.start_with?("#{field}:") }
    raise "no #{field} in /proc/self/status"
  end

  # A file of `size` bytes that does not compress or repeat within a MiB, written to disk and
  # read back into the page cache, so both sides of a copy find it there.
  def self.make_source(path, size)
    block = random_bytes(20_260_101, 1 << 20)
    File.open(path, "wb") do |f|
      left = size
      while left > 0
        f.write(left >= block.size ? block : block[0, left])
        left -= block.size
      end
      f.fsync
    end
    buffer = String.new
    File.open(path, "rb") { |f| nil while f.read(1 << 20, buffer) }
    path
  end
end
