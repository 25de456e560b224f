# frozen_string_literal: true

# arbiter.rb -- the arbiter: holds the listening socket, keeps the workers alive, obeys signals.
#
# The arbiter never serves and, unless --preload, never loads the application: it forks workers
# that do.
#   TERM       graceful stop: workers take what is queued, finish it, exit (--graceful-timeout)
#   INT, QUIT  fast stop
#   USR2, HUP  new workers with freshly loaded code; once they are ready the old ones stop
#              gracefully. The listening socket stays open throughout, so nothing is refused.
#   TTIN       one worker more; TTOU one fewer
# A worker that dies is replaced; one whose request has run longer than --timeout is killed first.

require "etc"
require "socket"
require "tempfile"
require_relative "heartbeat"
require_relative "log"
require_relative "worker"

module Dostrel
  class Arbiter
    SIGNALS = %w[TERM INT QUIT HUP USR2 TTIN TTOU CHLD].freeze
    FAST_STOP_SECONDS = 5.0
    PIPE_READ = 4096

    # What the arbiter knows of one worker.
    Child = Struct.new(:pid, :heartbeat, :generation, :started, :ready, :retiring, :kill_at,
                       :killed)

    attr_reader :port

    def initialize(config, app = nil)
      @config = config
      @app = app # preloaded: every worker serves it, a reload keeps it
      @target = config.workers
      @generation = 1
      @children = {} # pid -> Child
      @signals = []
      @stopping = nil # nil, :graceful or :fast
      @stop_deadline = nil
      @spawn_after = 0.0
      @ever_ready = false
      @exit_status = 0
      @listener = nil
    end

    # Serves until stopped; returns the process exit status.
    def run
      raise_descriptor_limit
      begin
        @listener = bind
      rescue SystemCallError, SocketError => e
        Log.error("cannot listen on #{@config.host}:#{@config.port}: #{e.message}")
        return 1
      end
      @port = @listener.local_address.ip_port
      write_pid_file
      @signal_r, @signal_w = IO.pipe
      @ready_r, @ready_w = IO.pipe
      @ready_bytes = "".b
      # Every read of the pipes, once a second for as long as the server runs, goes here.
      @scratch = String.new(capacity: PIPE_READ, encoding: Encoding::BINARY)
      SIGNALS.each do |name|
        trap(name) do
          @signals << name
          @signal_w.write_nonblock(".", exception: false)
        end
      end
      main_loop
      @listener&.close
      remove_pid_file
      Log.error("stopped")
      @exit_status
    end

    # Says where the server listens, once the first worker has loaded the application: a
    # caller that waits for the line knows requests will be served.
    def announce
      address = @listener.local_address
      shown = address.ipv6? ? "[#{address.ip_address}]" : address.ip_address
      Log.error("listening on #{shown}:#{@port}; #{@target} worker(s) of #{@config.threads} " \
                "thread(s) serving #{@app ? 'the preloaded application' : @config.rackup}")
      $stdout.puts "listening on #{shown}:#{@port}"
      $stdout.flush
    end

    # Stops the server, as TERM (graceful) or INT (fast) would.
    def shutdown(how = :graceful)
      @signals << (how == :graceful ? "TERM" : "INT")
      @signal_w&.write_nonblock(".", exception: false)
    end

    private

    def main_loop
      loop do
        maintain
        IO.select([@signal_r, @ready_r], nil, nil, 1.0)
        drain(@signal_r)
        read_ready
        take_signals.each { |name| act(name) }
        reap
        check_timeouts
        break if @stopping && @children.empty?
      end
    end

    # Each connection a worker holds is a descriptor: lift the soft limit towards the hard one
    # so that --worker-connections, not the usual 1024, is what bounds a worker.
    def raise_descriptor_limit
      soft, hard = Process.getrlimit(:NOFILE)
      wanted = @config.worker_connections + 64 # the listener, pipes, the application's files
      return if soft == Process::RLIM_INFINITY || soft >= wanted

      limit = hard == Process::RLIM_INFINITY ? wanted : [wanted, hard].min
      Process.setrlimit(:NOFILE, limit, hard)
    rescue SystemCallError, ArgumentError => e
      Log.error("cannot raise the descriptor limit to #{wanted}: #{e.message}")
    end

    # The listening socket; TCP_NODELAY is inherited by every accepted connection.
    def bind
      address = Addrinfo.tcp(@config.host, @config.port)
      sock = Socket.new(address.afamily, :STREAM)
      sock.setsockopt(:SOCKET, :REUSEADDR, true)
      sock.setsockopt(:TCP, :NODELAY, true)
      sock.bind(address)
      sock.listen(@config.backlog)
      sock
    end

    def write_pid_file
      return unless @config.pid_file

      File.write(@config.pid_file, "#{Process.pid}\n")
    rescue SystemCallError => e
      Log.error("cannot write the pid file #{@config.pid_file}: #{e.message}")
    end

    def remove_pid_file
      return unless @config.pid_file

      File.unlink(@config.pid_file) if File.read(@config.pid_file).to_i == Process.pid
    rescue SystemCallError
      nil
    end

    # -- signals ------------------------------------------------------------------------------

    def drain(io)
      loop { break unless io.read_nonblock(PIPE_READ, @scratch, exception: false).is_a?(String) }
    end

    def take_signals
      taken = @signals
      @signals = []
      taken
    end

    def act(name)
      case name
      when "TERM" then stop(:graceful)
      when "INT", "QUIT" then stop(:fast)
      when "CHLD" then nil # reaped in any case
      else
        return if @stopping

        change(name)
      end
    end

    def change(name)
      case name
      when "HUP", "USR2"
        @generation += 1
        kept = @app ? " (preloaded: the code loaded at the start is kept)" : ""
        Log.error("reloading: starting #{@target} new worker(s)#{kept}; the old ones stop " \
                  "once they are ready")
      when "TTIN"
        @target += 1
        Log.error("one worker more: #{@target}")
      when "TTOU"
        return unless @target > 1

        @target -= 1
        Log.error("one worker fewer: #{@target}")
      end
    end

    def stop(how)
      return if @stopping == :fast || @stopping == how

      @stopping = how
      if how == :graceful
        @stop_deadline = monotonic + @config.graceful_timeout
        Log.error("stopping gracefully: workers finish what is queued and in flight")
        # The workers take what is queued before they close their copies; the last to close
        # leaves nothing behind to reset.
        @children.each_value { |child| retire(child) }
      else
        @stop_deadline = monotonic + FAST_STOP_SECONDS
        Log.error("stopping now")
        @children.each_value { |child| kill(child.pid, "QUIT") }
      end
      @listener&.close
      @listener = nil
    end

    # -- workers ------------------------------------------------------------------------------

    def maintain
      return if @stopping # never a new worker once stopping

      current = @children.each_value.select { |c| c.generation == @generation && !c.retiring }
      missing = @target - current.size
      if missing.positive? && monotonic >= @spawn_after
        missing.times { spawn }
      elsif missing.negative?
        current.sort_by(&:started).first(-missing).each { |child| retire(child) }
      end
      # A reload completes when the new generation is all ready: then the old ones go.
      return unless current.count(&:ready) >= @target

      @children.each_value do |child|
        retire(child) if child.generation < @generation && !child.retiring
      end
    end

    def spawn
      heartbeat = Tempfile.create("dostrel-rack-beat-")
      File.unlink(heartbeat.path)
      Heartbeat.write(heartbeat, Time.now.to_f, [])
      multiprocess = @target > 1
      pid = fork { worker_main(heartbeat, multiprocess) }
      @children[pid] = Child.new(pid, heartbeat, @generation, monotonic, false, false, nil, false)
    end

    def worker_main(heartbeat, multiprocess)
      status = 1
      begin
        SIGNALS.each { |name| trap(name, "DEFAULT") }
        [@signal_r, @signal_w, @ready_r].each(&:close)
        @children.each_value { |child| child.heartbeat.close }
        status = Worker.new(@config, @listener, @app, heartbeat, @ready_w, multiprocess).run
      rescue Exception => e # rubocop:disable Lint/RescueException -- reported, then exit!
        Log.error("worker #{Process.pid} failed: #{e.class}: #{e.message}\n" \
                  "#{e.backtrace&.first(8)&.join("\n")}")
      ensure
        $stdout.flush
        $stderr.flush
        exit!(status)
      end
    end

    def retire(child)
      return if child.retiring

      child.retiring = true
      child.kill_at = monotonic + @config.graceful_timeout
      kill(child.pid, "TERM")
    end

    def read_ready
      chunk = @ready_r.read_nonblock(PIPE_READ, @scratch, exception: false)
      return unless chunk.is_a?(String)

      @ready_bytes << chunk
      while @ready_bytes.bytesize >= 4
        pid = @ready_bytes.byteslice(0, 4).unpack1("N")
        @ready_bytes = @ready_bytes.byteslice(4..)
        next unless (child = @children[pid])

        child.ready = true
        announce unless @ever_ready || @stopping
        @ever_ready = true
        Log.error("worker #{pid} ready")
      end
    end

    def reap
      loop do
        pid, status = Process.wait2(-1, Process::WNOHANG)
        return unless pid

        child = @children.delete(pid)
        next unless child

        child.heartbeat.close
        reaped(child, status)
      end
    rescue Errno::ECHILD
      nil
    end

    def reaped(child, status)
      how = status.signaled? ? "by signal #{status.termsig}" : "with status #{status.exitstatus}"
      if child.retiring || @stopping
        Log.error("stopping worker #{child.pid} ended #{how}") unless status.success?
        return
      end
      if child.ready
        Log.error("worker #{child.pid} ended #{how}; replacing it")
        @spawn_after = monotonic + 1.0 if monotonic - child.started < 1.0 # no fork storm
        return
      end
      failed_start(child, how)
    end

    # It never became ready: the application could not be loaded (or took too long).
    def failed_start(child, how)
      unless @ever_ready
        Log.error("worker #{child.pid} ended #{how} before it was ready: cannot start")
        @exit_status = BOOT_ERROR
        stop(:fast)
        return
      end
      if child.generation == @generation &&
         @children.each_value.any? { |c| c.ready && c.generation < @generation }
        Log.error("reload failed: new worker #{child.pid} ended #{how} before it was ready; " \
                  "the old workers keep serving")
        @generation -= 1
        @children.each_value { |other| retire(other) if other.generation > @generation }
        return
      end
      Log.error("worker #{child.pid} ended #{how} before it was ready; trying again in a second")
      @spawn_after = monotonic + 1.0
    end

    def check_timeouts
      now = monotonic
      wall = Time.now.to_f
      @children.each_value do |child|
        next if child.killed

        if child.kill_at && now > child.kill_at
          Log.error("worker #{child.pid} did not finish within #{@config.graceful_timeout}s: " \
                    "killed")
        elsif @stopping == :fast && now > @stop_deadline
          Log.error("worker #{child.pid} did not stop: killed")
        else
          stamp, busy = Heartbeat.read(child.heartbeat)
          silent = wall - (stamp || wall)
          next if silent <= @config.timeout

          cut = busy.map do |line|
            start, what = line.split(" ", 2)
            format("%s after %.1fs", what, wall - start.to_f)
          end
          Log.error(format("worker %d silent for %.1fs (--timeout %gs), a request ran too " \
                           "long: killed%s", child.pid, silent, @config.timeout,
                           cut.empty? ? "" : "; connection reset: #{cut.join(', ')}"))
        end
        child.killed = true
        kill(child.pid, "KILL")
      end
    end

    def kill(pid, name)
      Process.kill(name, pid)
    rescue Errno::ESRCH
      nil
    end

    def monotonic
      Process.clock_gettime(Process::CLOCK_MONOTONIC)
    end
  end
end
