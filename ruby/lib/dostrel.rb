# frozen_string_literal: true

# dostrel.rb -- serves Rack applications to the dostrel CGI gateway over its link protocol.
require_relative "dostrel/version"
require_relative "dostrel/link_request"
require_relative "dostrel/log"
require_relative "dostrel/config"
require_relative "dostrel/arbiter"

module Dostrel
  # The dostrel-rack command: parses argv, serves until stopped, returns the exit status.
  def self.main(argv)
    config = Options.parse(argv)
    Dir.chdir(config.chdir) if config.chdir
    ENV["RACK_ENV"] = config.environment || ENV["RACK_ENV"] || "production"
    Log.access_log = config.access_log
    app = nil
    if config.preload
      begin
        app = Loader.load(config.rackup)
      rescue Exception => e # rubocop:disable Lint/RescueException -- reported as a boot error
        Log.error("cannot load the application #{config.rackup}: #{e.class}: #{e.message}\n" \
                  "#{e.backtrace&.first(8)&.join("\n")}")
        return BOOT_ERROR
      end
    end
    Arbiter.new(config, app).run
  rescue SystemCallError => e
    Log.error("cannot start: #{e.message}")
    1
  end
end
