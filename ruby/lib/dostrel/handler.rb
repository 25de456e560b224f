# frozen_string_literal: true

# handler.rb -- runs the Rack application for one decoded request and writes its answer in CGI
# form: the status line, the headers (a multi-value header as repeated lines), the body streamed
# chunk by chunk as the application yields it, or written by a streaming body (Rack 3) as it
# calls its stream; then the callables the application left in rack.response_finished.

require "socket"
require "rack/utils"
require_relative "env"
require_relative "log"

module Dostrel
  # The gateway's connection failed while the answer was being sent.
  class ConnectionLost < StandardError; end

  # The application's response asked for something this server refuses to do.
  class HijackRefused < StandardError; end

  module Handler
    ERROR_PAGE = "Status: 500 Internal Server Error\r\n" \
                 "Content-Type: text/plain; charset=utf-8\r\nContent-Length: 22\r\n\r\n" \
                 "Internal Server Error\n"
    LINGER_OFF = [0, 0].pack("ii").freeze
    LINGER_RESET = [1, 0].pack("ii").freeze
    # What an application may fail with; signals and exit go on to the worker.
    FAULTS = [StandardError, ScriptError, SystemStackError, NoMemoryError].freeze

    module_function

    # Makes a close of sock a reset: set from the accept until the answer is complete, so that
    # a worker killed before or during its answer, or one that gives up on it, never passes a
    # missing or cut answer for a complete one.
    def arm_reset(sock)
      sock.setsockopt(Socket::SOL_SOCKET, Socket::SO_LINGER, LINGER_RESET)
    rescue SystemCallError, IOError
      nil
    end

    def close(sock, reset)
      sock.setsockopt(Socket::SOL_SOCKET, Socket::SO_LINGER, reset ? LINGER_RESET : LINGER_OFF)
    rescue SystemCallError, IOError
      nil
    ensure
      sock.close
    end

    # Serves one request on sock and closes it; never raises for the application's faults.
    def serve(app, request, sock, peer, server, multithread:, multiprocess:)
      started = Process.clock_gettime(Process::CLOCK_MONOTONIC)
      env = Env.build(request, server, multithread: multithread, multiprocess: multiprocess)
      writer = Writer.new(sock, env["REQUEST_METHOD"] == "HEAD")
      broken = false
      error = nil
      begin
        respond(app, env, writer)
      rescue ConnectionLost => e
        broken = true
        error = e
        Log.error("#{peer}: connection lost after #{writer.body_bytes} body bytes of " \
                  "#{request_line(env)}: #{e.message}")
      rescue *FAULTS => e
        error = e
        broken = failed(e, env, writer, peer)
      ensure
        request.body.close
      end
      close(sock, broken)
      Log.access(env, writer.status, writer.body_bytes,
                 Process.clock_gettime(Process::CLOCK_MONOTONIC) - started)
      response_finished(env, writer, error, peer)
    end

    def respond(app, env, writer)
      status, headers, body = app.call(env)
      begin
        writer.start(status, headers, body)
        if body.respond_to?(:each)
          body.each do |chunk|
            writer.write(chunk)
            break if writer.complete?
          end
        elsif body.respond_to?(:call)
          body.call(Stream.new(writer, env["rack.input"]))
        else
          raise TypeError, "the body (#{body.class}) has neither each nor call"
        end
        writer.finish
      ensure
        body.close if body.respond_to?(:close)
      end
    end

    # Rack 3's rack.response_finished: each callable the application registered, the last first,
    # once the connection is closed; with the error that ended the answer, if one did. A fault
    # in one is logged and the others still run.
    def response_finished(env, writer, error, peer)
      callbacks = env["rack.response_finished"]
      return unless callbacks.is_a?(Array)

      status = writer.status.zero? ? nil : writer.status
      callbacks.reverse_each do |callback|
        callback.call(env, status, writer.headers, error)
      rescue *FAULTS => e
        Log.error("#{peer}: a rack.response_finished callable failed after " \
                  "#{request_line(env)}: #{e.class}: #{e.message.lines.first&.chomp}")
      end
    end

    # Before the first byte a plain 500 page, after it a reset; one line in the log either way.
    # Returns whether the connection is to be reset.
    def failed(error, env, writer, peer)
      where = error.backtrace&.first(3)&.join(" < ")
      reason = "#{error.class}: #{error.message.lines.first&.chomp} (#{where})"
      if writer.head_sent?
        Log.error("#{peer}: error after the answer began (#{writer.body_bytes} body bytes " \
                  "sent) in #{request_line(env)}; connection reset: #{reason}")
        return true
      end
      Log.error("#{peer}: error in the application for #{request_line(env)}; answered 500: " \
                "#{reason}")
      writer.error_page
      false
    rescue ConnectionLost
      true
    end

    def request_line(env)
      "#{env['REQUEST_METHOD']} #{env['SCRIPT_NAME']}#{env['PATH_INFO']}"
    end

    # The state of one answer: its head until sent, then the bytes sent.
    class Writer
      TOKEN = /\A[!#$%&'*+.^_`|~0-9A-Za-z-]+\z/.freeze
      BAD_VALUE = /[\x00-\x08\x0a-\x1f\x7f]/.freeze
      NO_BODY = ->(status) { status < 200 || status == 204 || status == 304 }

      attr_reader :body_bytes, :headers

      def initialize(sock, head_request)
        @sock = sock
        @head_request = head_request
        @status = nil
        @head = nil
        @head_sent = false
        @body_bytes = 0
        @length_left = nil # from Content-Length: no more is sent than it announces
        @headers = nil
      end

      def status
        @status || 0
      end

      def head_sent?
        @head_sent
      end

      # The announced Content-Length has been sent: the rest of the body is not needed.
      def complete?
        @length_left&.zero?
      end

      def start(status, headers, body)
        code = Integer(status)
        raise ArgumentError, "bad status #{status.inspect}" unless (100..999).cover?(code)

        reason = Rack::Utils::HTTP_STATUS_CODES.fetch(code, "Unknown")
        lines = "Status: #{code} #{reason}\r\n".b
        length = nil
        headers.each do |name, value|
          name = name.to_s
          # A partial hijack would take the connection over: the gateway's link carries one
          # answer, which this server writes itself (rack.hijack? is false).
          raise HijackRefused, "the response asks to hijack the connection (#{name}), which " \
                               "this server does not offer" if name.casecmp?("rack.hijack")
          next if name.start_with?("rack.") # Rack's own, never for the client

          raise ArgumentError, "bad header name #{name.inspect}" unless TOKEN.match?(name)

          # Rack 3 gives several values as an Array, Rack 2 as lines of one String.
          values = value.is_a?(Array) ? value.map(&:to_s) : value.to_s.split("\n")
          values.each do |line|
            raise ArgumentError, "bad value for header #{name}: #{line.inspect}" \
              if BAD_VALUE.match?(line) || line.include?("\n")

            lines << name.b << ": " << line.b << "\r\n"
          end
          length = values.first.to_s if name.casecmp?("content-length")
        end
        if length.nil? && body.is_a?(Array) && !NO_BODY.call(code) && !@head_request &&
           body.all? { |chunk| chunk.is_a?(String) }
          # The whole body is known now: declaring it lets the web server keep its connection.
          length = body.sum(&:bytesize).to_s
          lines << "Content-Length: " << length << "\r\n"
        end
        @length_left = length.to_i if length&.match?(/\A\d+\z/) && !@head_request
        @status = code
        @headers = headers
        @head = lines << "\r\n"
      end

      def write(chunk)
        raise TypeError, "body chunks must be strings, not #{chunk.class}" unless chunk.is_a?(String)
        return if chunk.empty?

        if @length_left
          chunk = chunk.byteslice(0, @length_left) if chunk.bytesize > @length_left
          @length_left -= chunk.bytesize
        end
        if @head_sent
          send(chunk)
        else
          # The head travels with the first chunk: a small answer is one write.
          send(@head << chunk.b)
          @head_sent = true
          @head = nil
        end
        @body_bytes += chunk.bytesize
      end

      # The body is exhausted: an empty body still needs its head; a body shorter than its
      # Content-Length is a cut answer.
      def finish
        unless @head_sent
          send(@head)
          @head_sent = true
        end
        return unless @length_left&.positive?

        raise IOError, "the body ended #{@length_left} bytes short of its Content-Length"
      end

      def error_page
        @status = 500
        @head_sent = true
        send(ERROR_PAGE)
        @body_bytes = 22
      end

      private

      def send(data)
        @sock.write(data)
      rescue IOError, SystemCallError => e
        raise ConnectionLost, e.message
      end
    end

    # The stream a streaming body (one that answers call, not each) writes to: what it writes
    # goes out as the answer's body, what it reads is the request's body. Closing it ends the
    # body; the answer is complete once call returns.
    class Stream
      def initialize(writer, input)
        @writer = writer
        @input = input
        @closed = false
      end

      def write(data)
        raise IOError, "the stream is closed" if @closed

        data = data.to_s
        @writer.write(data)
        data.bytesize
      end

      def <<(data)
        write(data)
        self
      end

      def read(length = nil, buffer = nil)
        @input.read(length, buffer)
      end

      def close_write
        @closed = true
        nil
      end

      def flush = self
      def close_read = nil
      def close = close_write
      def closed? = @closed
    end
  end
end
