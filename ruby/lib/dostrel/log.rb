# frozen_string_literal: true

# log.rb -- the error log and the access log: whole lines, one write each, from any process or
# thread.

module Dostrel
  module Log
    UNSAFE = /[^\x20-\x7e]|["\\]/n.freeze

    @error_io = $stderr
    @access_io = $stderr
    @stamp_second = nil
    @stamp_text = ""

    class << self
      # "-" for standard error, "off" for none, else a file appended to.
      def access_log=(path)
        @access_io = case path
                     when "off" then nil
                     when "-", nil then $stderr
                     else File.open(path, File::WRONLY | File::APPEND | File::CREAT, 0o644)
                     end
      end

      # One line on the error log, with time and process id; later lines of a message indented.
      def error(message)
        stamp = Time.now.strftime("%Y-%m-%d %H:%M:%S %z")
        write(@error_io, "[#{stamp}] [#{Process.pid}] #{message.to_s.gsub("\n", "\n    ")}\n")
      end

      # The combined log format, then the time taken in milliseconds.
      def access(env, status, body_bytes, seconds)
        return unless @access_io

        uri = env["REQUEST_URI"]
        if uri.nil? || uri.empty?
          uri = "#{env['SCRIPT_NAME']}#{env['PATH_INFO']}"
          query = env["QUERY_STRING"]
          uri += "?#{query}" if query && !query.empty?
        end
        request = "#{env['REQUEST_METHOD'] || '-'} #{uri} #{env['SERVER_PROTOCOL'] || '-'}"
        line = format(%(%s - %s %s "%s" %s %s "%s" "%s" %.3f\n),
                      field(env["REMOTE_ADDR"]), field(env["REMOTE_USER"]), access_time,
                      escape(request), status.to_i.positive? ? status : "-",
                      body_bytes.positive? ? body_bytes : "-", field(env["HTTP_REFERER"]),
                      field(env["HTTP_USER_AGENT"]), seconds * 1000)
        write(@access_io, line)
      end

      # text with its bytes outside printable ASCII (and quotes, backslashes) as \xNN.
      def printable(text)
        escape(text)
      end

      private

      def write(io, line)
        data = line.b
        data = data.byteslice(io.syswrite(data), data.bytesize) until data.empty?
      rescue IOError, SystemCallError
        nil # a log that cannot be written must not stop the server
      end

      def escape(text)
        text = text.to_s.b
        UNSAFE.match?(text) ? text.gsub(UNSAFE) { |c| format("\\x%02x", c.ord) } : text
      end

      def field(text)
        text.nil? || text.empty? ? "-" : escape(text)
      end

      def access_time
        now = Time.now
        if now.to_i != @stamp_second
          @stamp_second = now.to_i
          @stamp_text = now.strftime("[%d/%b/%Y:%H:%M:%S %z]")
        end
        @stamp_text
      end
    end
  end
end
