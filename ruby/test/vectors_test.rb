# frozen_string_literal: true

# vectors_test.rb -- the decoder against every shared vector: whole, a byte at a time, and
# followed by bytes it must leave alone; and its limits at their edges.
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

  def latin1(text)
    text.encode(Encoding::ISO_8859_1).b
  end

  def test_every_vector_whole_and_byte_by_byte
    names = Dir[File.join(VECTORS, "*.json")].sort
    assert_operator names.size, :>=, 30
    names.each do |path|
      vector = JSON.parse(File.read(path))
      data = File.binread(path.sub(/\.json\z/, ".bin"))
      limits = Dostrel::Limits.new(**vector.fetch("limits", {}).transform_keys(&:to_sym))
      [[data.bytesize, 1].max, 1, 7].each do |step|
        name = "#{File.basename(path)} in steps of #{step}"
        if vector["expect"] == "refuse"
          assert_equal vector["reason"], decode(data, limits, step)[0], name
          next
        end
        request, consumed = decode(data + "\x09\x23\x19\x63 the next request".b, limits, step)
        refute_kind_of String, request, name
        assert_equal data.bytesize, consumed, "#{name}: bytes past the request were taken"
        assert_equal vector["version"], request.version, name
        assert_equal vector["variables"].map { |n, v| [latin1(n), latin1(v)] }, request.variables, name
        body = Base64.decode64(vector["body_base64"])
        assert_equal body, request.body.read, name
        assert_equal body.bytesize, request.body_length, name
      end
    end
  end

  def test_limits_at_their_edges_and_spooling
    variables = [["NAME", "x" * 96]] # 100 bytes of variables
    data = Link.request(variables, "b" * 50)
    exact = Dostrel::Limits.new(max_keys: 2, max_variable_bytes: 100, max_body_bytes: 50,
                                spool_bytes: 49)
    request, = decode(data, exact, 1000)
    assert_kind_of File, request.body, "a body over spool_bytes goes to a file"
    assert_equal "b" * 50, request.body.read
    assert_equal "too-many-keys", decode(data, Dostrel::Limits.new(max_keys: 1), 1000)[0]
    assert_equal "variables-too-large",
                 decode(data, Dostrel::Limits.new(max_variable_bytes: 99), 1000)[0]
    assert_equal "body-too-large", decode(data, Dostrel::Limits.new(max_body_bytes: 49), 1000)[0]
    assert_kind_of StringIO, decode(data, Dostrel::Limits.new(spool_bytes: 50), 1000)[0].body
    assert_equal "truncated", decode(data.byteslice(0, data.bytesize - 10), Dostrel::Limits.new, 1000)[0]
  end
end
