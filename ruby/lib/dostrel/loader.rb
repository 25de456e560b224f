# frozen_string_literal: true

# loader.rb -- the Rack application of a rackup file (config.ru), or of a Ruby file.
require "rack"

module Dostrel
  module Loader
    module_function

    def load(rackup)
      raise ArgumentError, "no such file: #{File.expand_path(rackup)}" unless File.file?(rackup)

      app, = Rack::Builder.parse_file(rackup)
      raise ArgumentError, "#{rackup} gives no Rack application" unless app.respond_to?(:call)

      app
    end
  end
end
