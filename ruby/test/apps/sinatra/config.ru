# config.ru -- the Sinatra application of the tests, under Rack::Lint.
require_relative "app"
use Rack::Lint
run SinatraApp
