# config.ru -- the Rails application of the tests, under Rack::Lint.
require_relative "config/environment"
use Rack::Lint
run Rails.application
