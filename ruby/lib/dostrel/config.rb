# frozen_string_literal: true

# config.rb -- the command line of dostrel-rack: every option, its default and its check.

require "ipaddr"
require "optparse"
require_relative "link_request"
require_relative "version"

module Dostrel
  Config = Struct.new(:rackup, :host, :port, :workers, :threads, :read_timeout, :timeout,
                      :graceful_timeout, :allow, :limits, :worker_connections, :backlog,
                      :access_log, :chdir, :preload, :pid_file, :environment,
                      keyword_init: true) do
    def initialize(**given)
      super(rackup: "config.ru", host: "127.0.0.1", port: 9000, workers: 1, threads: 1,
            read_timeout: 30.0, timeout: 30.0, graceful_timeout: 30.0, allow: [],
            limits: Limits.new, worker_connections: 1000, backlog: 1024, access_log: "-",
            chdir: nil, preload: false, pid_file: nil, environment: nil, **given)
    end
  end

  module Options
    module_function

    # HOST:PORT, [IPV6]:PORT or PORT alone.
    def bind(text)
      host, colon, port = text.rpartition(":")
      host = "127.0.0.1" if colon.empty?
      host = host[1..-2] if host.start_with?("[") && host.end_with?("]")
      raise OptionParser::InvalidArgument, "#{text} is not HOST:PORT" \
        unless port.match?(/\A\d+\z/) && port.to_i <= 65_535 && !host.empty?

      [host, port.to_i]
    end

    # ADDRESS[/BITS],... into networks; a bare address is a network of one.
    def allow(text)
      text.split(",").map(&:strip).reject(&:empty?).map do |item|
        IPAddr.new(item)
      rescue IPAddr::Error
        raise OptionParser::InvalidArgument, "#{item} is not an address or network"
      end
    end

    def count(text, minimum)
      value = Integer(text, 10)
      raise ArgumentError if value < minimum

      value
    rescue ArgumentError, TypeError
      raise OptionParser::InvalidArgument, "#{text} is not a whole number of at least #{minimum}"
    end

    def seconds(text)
      value = Float(text)
      raise ArgumentError unless value.positive?

      value
    rescue ArgumentError, TypeError
      raise OptionParser::InvalidArgument, "#{text} is not a positive number of seconds"
    end

    # The Config for argv; exits with usage on a bad option.
    def parse(argv)
      config = Config.new
      limits = config.limits
      parser = OptionParser.new do |o|
        o.banner = "Usage: dostrel-rack [options] [config.ru]\n" \
                   "Serves a Rack application to the dostrel gateway over the link protocol."
        o.version = VERSION
        o.on("--bind HOST:PORT", "address to listen on (default 127.0.0.1:9000; port 0 " \
             "picks a free port)") { |v| config.host, config.port = bind(v) }
        o.on("--workers N", "worker processes (default 1)") { |v| config.workers = count(v, 1) }
        o.on("--threads N", "threads per worker serving requests (default 1)") do |v|
          config.threads = count(v, 1)
        end
        o.on("--timeout S", "a worker busy with one request for longer is killed and " \
             "replaced, its connection reset (default 30)") { |v| config.timeout = seconds(v) }
        o.on("--read-timeout S", "time for a whole request to arrive, from the accept " \
             "(default 30)") { |v| config.read_timeout = seconds(v) }
        o.on("--graceful-timeout S", "time given to workers to finish on TERM or reload " \
             "(default 30)") { |v| config.graceful_timeout = seconds(v) }
        o.on("--allow ADDRESS,...", "peers allowed to connect (addresses or networks); " \
             "default: any") { |v| config.allow = allow(v) }
        o.on("--preload", "load the application once, before forking the workers " \
             "(a reload then keeps the code)") { config.preload = true }
        o.on("--pid FILE", "write the arbiter's process id to FILE") { |v| config.pid_file = v }
        o.on("--chdir DIR", "change to DIR before loading the application") do |v|
          config.chdir = v
        end
        o.on("--environment NAME", "RACK_ENV for the application (default: as set, else " \
             "production)") { |v| config.environment = v }
        o.on("--max-keys N", "most keys in a request, the content key included " \
             "(default #{limits.max_keys})") { |v| limits.max_keys = count(v, 1) }
        o.on("--max-variable-bytes N", "most bytes of variable names and values together " \
             "(default #{limits.max_variable_bytes})") do |v|
          limits.max_variable_bytes = count(v, 0)
        end
        o.on("--max-body-bytes N", "largest request body (default #{limits.max_body_bytes})") do |v|
          limits.max_body_bytes = count(v, 0)
        end
        o.on("--spool-bytes N", "bodies longer than this go to a temporary file " \
             "(default #{limits.spool_bytes})") { |v| limits.spool_bytes = count(v, 0) }
        o.on("--worker-connections N", "most connections one worker holds at once, read " \
             "or served (default 1000)") { |v| config.worker_connections = count(v, 1) }
        o.on("--backlog N", "connections the listening socket queues (default 1024)") do |v|
          config.backlog = count(v, 1)
        end
        o.on("--access-log FILE", "access log file; '-' standard error (default), " \
             "'off' none") { |v| config.access_log = v }
      end
      rest = parser.parse(argv)
      raise OptionParser::NeedlessArgument, rest[1..].join(" ") if rest.size > 1

      config.rackup = rest.first if rest.first
      config
    rescue OptionParser::ParseError => e
      warn "dostrel-rack: #{e.message}"
      warn parser.help if parser
      exit 2
    end
  end
end
