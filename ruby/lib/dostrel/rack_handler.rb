# frozen_string_literal: true

# rack_handler.rb -- the Rack handler "dostrel", the same for Rack 2's registry (Rack::Handler)
# and the rackup gem's (Rackup::Handler, Rack 3): `rackup -s dostrel -o HOST -p PORT` serves
# the application (already loaded by rackup) with dostrel-rack's arbiter and workers.
require "dostrel"

module Dostrel
  module RackHandler
    # The -O NAME=VALUE options rackup passes on, and the dostrel-rack option each sets.
    OPTIONS = {
      "Workers=N" => "worker processes (default 1)",
      "Threads=N" => "threads per worker (default 1)",
      "Timeout=S" => "a request running longer has its worker replaced (default 30)",
      "ReadTimeout=S" => "time for a whole request to arrive (default 30)",
      "GracefulTimeout=S" => "time to finish on TERM or reload (default 30)",
      "Allow=ADDRESS,..." => "peers allowed to connect (default: any)",
      "MaxKeys=N" => "most keys in a request (default 10000)",
      "MaxVariableBytes=N" => "most bytes of variables (default 1048576)",
      "MaxBodyBytes=N" => "largest request body (default 1073741824)",
      "AccessLog=FILE" => "access log; '-' standard error, 'off' none (default -)"
    }.freeze

    def self.valid_options
      { "Host=HOST" => "address to listen on (default 127.0.0.1)",
        "Port=PORT" => "port to listen on (default 9292)" }.merge(OPTIONS)
    end

    def self.config(options)
      argv = ["--bind", "#{options[:Host] || '127.0.0.1'}:#{options[:Port] || 9292}"]
      OPTIONS.each_key do |key|
        name = key.split("=").first
        value = options[name.to_sym] || options[name]
        # rackup's own AccessLog default is an empty list (WEBrick's loggers): not a file.
        next if value.nil? || value.is_a?(Array)

        argv.push("--#{name.gsub(/(?<=[a-z])(?=[A-Z])/, '-').downcase}", value.to_s)
      end
      ::Dostrel::Options.parse(argv)
    end

    def self.run(app, **options)
      config = config(options)
      ::Dostrel::Log.access_log = config.access_log
      arbiter = ::Dostrel::Arbiter.new(config, app)
      yield arbiter if block_given?
      status = arbiter.run
      exit(status) unless status.zero?
    end
  end
end
