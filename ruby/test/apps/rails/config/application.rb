# application.rb -- a minimal Rails application: one controller, one model, SQLite.
require "rails"
require "active_record/railtie"
require "action_controller/railtie"

ENV["DATABASE_URL"] ||= "sqlite3:#{File.expand_path('../db.sqlite3', __dir__)}"

module Notes
  class Application < Rails::Application
    config.load_defaults 6.1
    config.eager_load = false
    config.secret_key_base = "only for the tests, and long enough for Rails' key derivation"
    config.logger = Logger.new($stderr)
    config.log_level = :warn
  end
end
