# frozen_string_literal: true

# rack/handler/dostrel.rb -- `rackup -s dostrel` on Rack 2, whose registry is Rack::Handler.
require "rack/handler"
require "dostrel/rack_handler"

module Rack
  module Handler
    Dostrel = ::Dostrel::RackHandler unless const_defined?(:Dostrel, false)
    # Rack 2 keeps the name and looks it up from here: the full one, not the module's own.
    register :dostrel, "Rack::Handler::Dostrel"
  end
end
