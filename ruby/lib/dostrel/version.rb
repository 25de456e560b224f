# frozen_string_literal: true

# version.rb -- the gem's version.
module Dostrel
  VERSION = "1.0.0"
end
