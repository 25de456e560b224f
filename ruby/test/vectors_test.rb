# frozen_string_literal: true

# vectors_test.rb -- the decoder against every shared vector (their limits at the edges among
# them): whole, a byte at a time, and followed by bytes it must leave alone.
require "base64"
require "json"
require_relative "helper"
require "dostrel/link_request"

class VectorsTest < Minitest::Test
  def decode(data, limits, step)
    decoder = Dostrel::Decoder.new(limits)
    consumed = 0
    consumed += decoder.feed(data.byteslice(consumed, step)) while !decoder.done? && consumed < data.bytesize
    decoder.end_of_stream
    [decoder.request, consumed]
  rescue Dostrel::Refused => e
    [e.reason, consumed]
  end

  def test_every_vector_whole_and_byte_by_byte
    names = Dir[File.join(VECTORS, "*.json")].sort
    assert_operator names.size, :>=, 30
    names.each do |path|
      vector = JSON.parse(File.read(path))
      data = File.binread(path.sub(/\.json\z/, ".bin"))
      [[data.bytesize, 1].max, 1].each do |step|
        name = "#{File.basename(path)} in steps of #{step}"
        # A byte at a time, every body goes to a file rather than memory.
        limits = Dostrel::Limits.new(**vector.fetch("limits", {}).transform_keys(&:to_sym),
                                     **(step == 1 ? { spool_bytes: 0 } : {}))
        if vector["expect"] == "refuse"
          assert_equal vector["reason"], decode(data, limits, step)[0], name
          next
        end
        request, consumed = decode(data + "\x09\x23\x19\x63 the next request".b, limits, step)
        refute_kind_of String, request, name
        assert_equal data.bytesize, consumed, "#{name}: bytes past the request were taken"
        assert_equal vector["version"], request.version, name
        latin1 = ->(text) { text.encode(Encoding::ISO_8859_1).b }
        assert_equal vector["variables"].map { |n, v| [latin1[n], latin1[v]] }, request.variables, name
        body = Base64.decode64(vector["body_base64"])
        assert_equal [body, body.bytesize, step == 1 && !body.empty?],
                     [request.body.read, request.body_length, request.body.is_a?(File)], name
      end
    end
  end
end
