# The measuring side of `rake bench`, loaded by each case process (bench/cases.rb).
#
# Every runner of a case does the same work on its own fresh output path. Round after round the
# runners take turns, in an order that rotates so none always goes first; a ratio is taken
# between two runners of the same round, as close in time as the machine allows.
require "fileutils"
require "json"
require "rbconfig"
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

  Runner = Struct.new(:name, :prepare, :work, :verify, :times)

  # One case: its runners, the ratios asked of them, its scratch directory.
  class Case
    attr_reader :dir

    # keep_outputs: leave every run's output until the case ends. For many small files: ext4
    # without a journal will not reuse an inode deleted less than a minute ago (six while its
    # inode table block is dirty) and scans past each one, so deleting 2,000 files just before
    # the next run creates 2,000 made every create several times slower, for every runner alike
    # (recently_deleted() at the top of a kernel profile).
    def initialize(id, title, params, keep_outputs: false)
      @id = id
      @keep_outputs = keep_outputs
      @title = title
      @params = params
      @runners = []
      @comparisons = []
      @dir = Dir.mktmpdir("kalvera-bench-#{id}-", Settings.dir)
      @runs = 0
    end

    # The block is the timed work; it gets what `prepare` (untimed) made of a fresh output path,
    # or the path itself. `verify` (untimed) checks the work was done in full.
    def runner(name, prepare: nil, verify: nil, &work)
      @runners << Runner.new(name, prepare, work, verify, [])
    end

    # kind: :goal (a ratio the extension must reach), :report (shown, no goal), :reference (a
    # bound that explains a goal, not the extension itself).
    def compare(contender, baseline, goal: nil, kind: goal ? :goal : :report)
      @comparisons << { "contender" => contender, "baseline" => baseline, "goal" => goal, "kind" => kind.to_s }
    end

    def run(rounds)
      @runners.each { |r| measure(r) } # warm-up: caches, page cache, first-call costs
      rounds.times do |round|
        @runners.rotate(round % @runners.size).each { |r| r.times << measure(r) }
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
      start = Process.clock_gettime(Process::CLOCK_MONOTONIC)
      runner.work.call(argument)
      elapsed = Process.clock_gettime(Process::CLOCK_MONOTONIC) - start
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
        a = runners.fetch(c["contender"])
        b = runners.fetch(c["baseline"])
        c.merge("ratios" => a.zip(b).map { |x, y| x / y })
      end
      { "id" => @id, "title" => @title, "params" => @params, "runners" => runners, "comparisons" => comparisons }
    end
  end

  # sync(2) called in this process: spawning `sync` would fork, and every page the parent
  # touches afterwards takes a copy-on-write fault, a cost that lands in the next timed run
  # in proportion to the memory a runner writes (the writer's buffer more than File's).
  def self.sync
    return unless Settings.linux?
    if @sync.nil?
      @sync = begin
        require "fiddle"
        Fiddle::Function.new(Fiddle.dlopen(nil)["sync"], [], Fiddle::TYPE_VOID)
      rescue LoadError, StandardError
        false
      end
    end
    @sync ? @sync.call : system("sync")
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
    block = Random.new(20_260_101).bytes(1 << 20)
    File.open(path, "wb") do |f|
      left = size
      while left > 0
        f.write(left >= block.bytesize ? block : block.byteslice(0, left))
        left -= block.bytesize
      end
      f.fsync
    end
    buffer = String.new
    File.open(path, "rb") { |f| nil while f.read(1 << 20, buffer) }
    path
  end
end
