# frozen_string_literal: true

require_relative "lib/dostrel/version"

Gem::Specification.new do |spec|
  spec.name = "dostrel"
  spec.version = Dostrel::VERSION
  spec.summary = "Serve any Rack application to the dostrel CGI gateway over its link protocol"
  spec.description = "A pre-forking, optionally threaded Rack server speaking dostrel's link " \
                     "protocol, with the Rack handler `dostrel` and the dostrel-rack command."
  spec.authors = ["The dostrel developers"]
  spec.license = "MIT"
  spec.required_ruby_version = ">= 3.1"
  spec.files = Dir.chdir(__dir__) { Dir["lib/**/*.rb", "bin/*", "README.md", "LICENSE"] }
  spec.bindir = "bin"
  spec.executables = ["dostrel-rack"]
  spec.require_paths = ["lib"]
  spec.add_runtime_dependency "rack", ">= 2.2", "< 4"
end
