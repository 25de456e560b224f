# frozen_string_literal: true

# handler.rb -- runs the Rack application for one decoded request and writes its answer in CGI
# form: the status line, the headers (a multi-value header as repeated lines), the body streamed
# chunk by chunk as the application yields it.

require "socket"
require "rack/utils"
require_relative "env"
require_relative "log"

module Dostrel
  # The gateway's connection failed while the answer was being sent.
  class ConnectionLost < StandardError; end

  module Handler
    ERROR_PAGE = "Status: 500 Internal Server Error\r\n" \
                 "Content-Type: text/plain; charset=utf-8\r\nContent-Length: 22\r\n\r\n" \
                 "Internal Server Error\n"
    LINGER_OFF = [0, 0].pack("ii").freeze
    LINGER_RESET = [1, 0].pack("ii").freeze
    # What an application may fail with; signals and exit go on to the worker.
    FAULTS = [StandardError, ScriptError, SystemStackError, NoMemoryError].freeze

    module_function

    # Makes a close of sock a reset: set while an answer is under way, so that a worker killed
    # mid-answer, or one that gives up on it, never passes a cut answer for a complete one.
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
      begin
        respond(app, env, writer)
      rescue ConnectionLost => e
        broken = true
        Log.error("#{peer}: connection lost after #{writer.body_bytes} body bytes of " \
                  "#{request_line(env)}: #{e.message}")
      rescue *FAULTS => e
        broken = failed(e, env, writer, peer)
      ensure
        request.body.close
      end
      close(sock, broken)
      Log.access(env, writer.status, writer.body_bytes,
                 Process.clock_gettime(Process::CLOCK_MONOTONIC) - started)
    end

    def respond(app, env, writer)
      status, headers, body = app.call(env)
      begin
        writer.start(status, headers, body)
        body.each do |chunk|
          writer.write(chunk)
          break if writer.complete?
        end
        writer.finish
      ensure
        body.close if body.respond_to?(:close)
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

      attr_reader :body_bytes

      def initialize(sock, head_request)
        @sock = sock
        @head_request = head_request
        @status = nil
        @head = nil
        @head_sent = false
        @body_bytes = 0
        @length_left = nil # from Content-Length: no more is sent than it announces
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
          next if name.start_with?("rack.") # Rack's own, never for the client

          raise ArgumentError, "bad header name #{name.inspect}" unless TOKEN.match?(name)

          value.to_s.split("\n").each do |line|
            raise ArgumentError, "bad value for header #{name}: #{line.inspect}" \
              if BAD_VALUE.match?(line)

            lines << name.b << ": " << line.b << "\r\n"
          end
          length = value.to_s if name.casecmp?("content-length")
        end
        if length.nil? && body.is_a?(Array) && !NO_BODY.call(code) && !@head_request &&
           body.all? { |chunk| chunk.is_a?(String) }
          # The whole body is known now: declaring it lets the web server keep its connection.
          length = body.sum(&:bytesize).to_s
          lines << "Content-Length: " << length << "\r\n"
        end
        @length_left = length.to_i if length&.match?(/\A\d+\z/) && !@head_request
        @status = code
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
  end
end
