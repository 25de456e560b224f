# frozen_string_literal: true

# rackup/handler/dostrel.rb -- `rackup -s dostrel` with the rackup gem (Rack 3), whose registry
# is Rackup::Handler.
require "rackup/handler"
require "dostrel/rack_handler"

module Rackup
  module Handler
    Dostrel = ::Dostrel::RackHandler unless const_defined?(:Dostrel, false)
    register :dostrel, ::Dostrel::RackHandler
  end
end
