# frozen_string_literal: true

# worker.rb -- one worker process: accepts connections, reads requests, serves the application.
#
# A worker only serves. It reads every connection it holds with IO.select until the request is
# complete or refused, so an idle or stalled connection costs a slot, never the worker's time; a
# complete request is then served in the loop itself (one thread) or by a bounded thread pool.
# TERM: take every connection still queued on the listening socket, stop accepting, finish what
# is held, exit. INT and QUIT: exit at once (answers under way are reset).

require "ipaddr"
require "socket"
require_relative "handler"
require_relative "heartbeat"
require_relative "link_request"
require_relative "loader"
require_relative "log"

module Dostrel
  BOOT_ERROR = 3 # exit status: the application could not be loaded

  class Worker
    CHUNK = 65_536
    Pending = Struct.new(:sock, :peer, :decoder, :deadline)

    def initialize(config, listener, app, heartbeat, ready_pipe, multiprocess)
      @config = config
      @listener = listener
      @app = app # a Rack application, or nil: load config.rackup after the fork
      @heartbeat = heartbeat
      @ready_pipe = ready_pipe
      @multiprocess = multiprocess
      @multithread = config.threads > 1
      @pending = {} # socket -> Pending
      @ready = [] # [request, socket, peer] waiting to be served
      @lock = Mutex.new
      @in_flight = {} # thread-served request -> [wall-clock start, description]
      @current = nil # [start, description] of the request served inline
      @dispatched = 0 # handed to the pool and not finished
      @stopping = false
      @last_beat = 0.0
      @buffer = String.new(capacity: CHUNK, encoding: Encoding::BINARY)
      @pool = nil
      @wake_r, @wake_w = IO.pipe
      @server = server_address(listener.local_address)
    end

    # Serves until stopped; returns the exit status.
    def run
      install_signals
      beat(force: true)
      unless @app
        begin
          @app = Loader.load(@config.rackup)
        rescue Exception => e # rubocop:disable Lint/RescueException -- anything the app raises
          Log.error("worker #{Process.pid}: cannot load the application #{@config.rackup}: " \
                    "#{e.class}: #{e.message}\n#{e.backtrace&.first(8)&.join("\n")}")
          return BOOT_ERROR
        end
      end
      start_pool if @multithread
      @ready_pipe.syswrite([Process.pid].pack("N"))
      serve_loop
      stop_pool
      0
    end

    private

    def serve_loop
      loop do
        beat
        readers = [@wake_r]
        readers << @listener if @listener && held < @config.worker_connections
        readers.concat(@pending.keys)
        ready, = IO.select(readers, nil, nil, select_timeout)
        ready&.each do |io|
          if io == @listener then accept_some(16)
          elsif io == @wake_r then drain_wake
          elsif (pending = @pending[io]) then read(pending)
          end
        end
        expire unless @pending.empty?
        close_listener if @stopping && @listener
        serve(*@ready.shift) until @ready.empty?
        # Only once the listener is drained and closed: a TERM that arrived while a request was
        # being served must still find the connections queued behind it.
        break if @stopping && @listener.nil? && held.zero?
      end
    end

    def install_signals
      %w[HUP TTIN TTOU USR1 USR2 WINCH].each { |name| trap(name, "IGNORE") }
      trap("CHLD", "DEFAULT")
      trap("TERM") do
        @stopping = true
        @wake_w.write_nonblock("t", exception: false)
      end
      %w[INT QUIT].each { |name| trap(name) { exit!(0) } }
    end

    # Tells the arbiter the worker lives: the heartbeat holds now, or the start of the oldest
    # request being served, so that a stuck request ages it; and, for the log line of a kill,
    # the requests under way (see Heartbeat).
    def beat(force: false)
      now = Time.now.to_f
      busy = @in_flight.empty? ? [] : @lock.synchronize { @in_flight.values }
      busy << @current if @current
      stamp = busy.map(&:first).min || now
      stamp = now if stamp > now
      return unless force || stamp != now || now - @last_beat >= 1.0

      Heartbeat.write(@heartbeat, stamp, busy.map { |start, what| "#{start} #{what}" })
      @last_beat = stamp == now ? now : 0.0
    end

    # "PEER METHOD PATH" of a request, for the log.
    def describe(request, peer)
      found = {}
      request.variables.each do |name, value|
        found[name] ||= value if %w[REQUEST_METHOD SCRIPT_NAME PATH_INFO].include?(name)
      end
      Log.printable("#{peer} #{found['REQUEST_METHOD'] || 'GET'} " \
                    "#{found['SCRIPT_NAME']}#{found['PATH_INFO']}")
    end

    def select_timeout
      return 1.0 if @pending.empty?

      soonest = @pending.each_value.map(&:deadline).min
      (soonest - monotonic).clamp(0.0, 1.0)
    end

    def drain_wake
      loop { break unless @wake_r.read_nonblock(4096, exception: false).is_a?(String) }
    end

    def held
      @pending.size + @ready.size + @dispatched
    end

    def monotonic
      Process.clock_gettime(Process::CLOCK_MONOTONIC)
    end

    # -- accepting ----------------------------------------------------------------------------

    # Accepts up to most connections (all that are queued when most is nil).
    def accept_some(most)
      loop do
        if most
          # One thread serves: a complete request waiting here is one another worker could have
          # taken, so leave the rest queued.
          return if held >= @config.worker_connections || (!@ready.empty? && @pool.nil?)
          return if (most -= 1).negative?
        end
        sock, address = @listener.accept_nonblock(exception: false)
        return if sock == :wait_readable

        take(sock, address)
      end
    rescue SystemCallError => e
      # Out of descriptors or the like: the connection stays queued for later.
      Log.error("accept failed: #{e.message}")
    end

    # Takes every connection already queued, then closes this worker's copy: closing a listener
    # with connections in its queue would reset them.
    def close_listener
      accept_some(nil)
      @listener.close
      @listener = nil
    end

    def take(sock, address)
      peer = address.ipv6? ? "[#{address.ip_address}]:#{address.ip_port}" : address.inspect_sockaddr
      unless @config.allow.empty? || allowed?(address.ip_address)
        Log.error("#{peer}: refused: not-allowed")
        sock.close
        return
      end
      # From the accept until an answer is complete, a close (or this process's death) is a
      # reset: a worker killed before its handler ran must not pass for one with nothing to say.
      Handler.arm_reset(sock)
      pending = Pending.new(sock, peer, Decoder.new(@config.limits), monotonic + @config.read_timeout)
      @pending[sock] = pending
      # The gateway sends its request right after connecting: it is often there already.
      read(pending)
    end

    def allowed?(host)
      address = IPAddr.new(host.split("%").first)
      address = address.native
      @config.allow.any? { |network| network.family == address.family && network.include?(address) }
    rescue IPAddr::Error
      false
    end

    # -- reading ------------------------------------------------------------------------------

    def read(pending)
      sock = pending.sock
      decoder = pending.decoder
      loop do
        if decoder.wanted >= CHUNK
          data = sock.read_nonblock(CHUNK, @buffer, exception: false)
          return if data == :wait_readable

          decoder.end_of_stream if data.nil?
          decoder.feed(data)
        else
          # Look first and take only what the request holds: nothing past its end.
          data = sock.recv_nonblock(CHUNK, Socket::MSG_PEEK, @buffer, exception: false)
          return if data == :wait_readable

          decoder.end_of_stream if data.nil? || data.empty?
          discard(sock, decoder.feed(data))
        end
        return complete(pending) if decoder.done?
        return if data.bytesize < CHUNK
      end
    rescue Refused => e
      refuse(pending, e.reason)
    rescue IOError, SystemCallError
      refuse(pending, "truncated")
    end

    def discard(sock, count)
      count -= sock.read_nonblock(count, @buffer).bytesize while count.positive?
    end

    def refuse(pending, reason)
      Log.error("#{pending.peer}: refused: #{reason}")
      @pending.delete(pending.sock)
      pending.decoder.close
      Handler.close(pending.sock, false) # a refusal is deliberate: an orderly close
    end

    def complete(pending)
      @pending.delete(pending.sock)
      @ready << [pending.decoder.request, pending.sock, pending.peer]
    end

    def expire
      now = monotonic
      @pending.values.select { |p| p.deadline <= now }.each { |p| refuse(p, "timeout") }
    end

    # -- serving ------------------------------------------------------------------------------

    def serve(request, sock, peer)
      if @pool.nil?
        @current = [Time.now.to_f, describe(request, peer)]
        beat(force: true)
        serve_one(request, sock, peer)
        @current = nil
      else
        @lock.synchronize { @dispatched += 1 }
        @queue << [request, sock, peer]
      end
    end

    def serve_one(request, sock, peer)
      Handler.serve(@app, request, sock, peer, server_for(sock), multithread: @multithread,
                                                                  multiprocess: @multiprocess)
    end

    def start_pool
      @queue = Queue.new
      @pool = Array.new(@config.threads) do
        Thread.new do
          while (job = @queue.pop)
            serve_in_thread(*job)
          end
        end
      end
    end

    def stop_pool
      return unless @pool

      @pool.each { @queue << nil }
      @pool.each(&:join)
    end

    def serve_in_thread(request, sock, peer)
      token = Object.new
      what = describe(request, peer)
      @lock.synchronize { @in_flight[token] = [Time.now.to_f, what] }
      begin
        serve_one(request, sock, peer)
      rescue Exception => e # rubocop:disable Lint/RescueException -- a thread must not die
        Log.error("#{peer}: unexpected failure serving the request: #{e.class}: #{e.message}")
      ensure
        @lock.synchronize do
          @in_flight.delete(token)
          @dispatched -= 1
        end
        @wake_w.write_nonblock("w", exception: false) # the loop may accept again, or exit
      end
    end

    # [name, port] of the listener for the environment's defaults; the connection's own local
    # address when the listener took every address.
    def server_for(sock)
      return @server unless @server[0] == "0.0.0.0" || @server[0] == "[::]"

      server_address(sock.local_address)
    rescue SystemCallError
      @server
    end

    def server_address(address)
      host = address.ip_address
      host = "[#{host}]" if address.ipv6?
      [host, address.ip_port]
    end
  end
end
