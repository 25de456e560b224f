# frozen_string_literal: true

# link_request.rb -- the incremental decoder of one link-protocol request, with its limits.
#
# Memory is never taken on the word of a length field: each length is checked against its limit
# the moment it is read, and buffers grow only with the bytes fed in. The decoder consumes nothing
# past the end of the request, so a caller may hand it more than it needs.

require "stringio"
require "tempfile"

module Dostrel
  COOKIE = "\x09\x23\x19\x63".b.freeze
  CONTENT_KEY = "XBRENNOX_CONTENT_DATA".b.freeze
  MAJOR_VERSION = 1

  # What a request may carry; the defaults are the protocol's. Bodies longer than spool_bytes go
  # to a temporary file instead of memory.
  Limits = Struct.new(:max_keys, :max_variable_bytes, :max_body_bytes, :spool_bytes,
                      keyword_init: true) do
    def initialize(max_keys: 10_000, max_variable_bytes: 1 << 20, max_body_bytes: 1 << 30,
                   spool_bytes: 1 << 20)
      super
    end
  end

  # The request breaks the protocol or a limit; reason is the protocol's word for it.
  class Refused < StandardError
    attr_reader :reason

    def initialize(reason)
      super(reason)
      @reason = reason
    end
  end

  # A complete request: the variables as binary [name, value] pairs in their order, and the body
  # as a rewindable binary IO positioned at its start.
  LinkRequest = Struct.new(:version, :variables, :body, :body_length)

  # Feed it bytes with feed(data); it returns how many it took, and raises Refused.
  class Decoder
    attr_reader :request

    def initialize(limits = Limits.new)
      @limits = limits
      @variables = []
      @variable_bytes = 0
      @keys_left = 0
      @major = @minor = 0
      @body = nil
      @request = nil
      expect(:cookie, 4)
    end

    def done?
      @field == :done
    end

    # Bytes certainly still to come: reading this many never passes the request's end.
    def wanted
      @want
    end

    def feed(data)
      at = 0
      total = data.bytesize
      while at < total && @field != :done
        take = @want < total - at ? @want : total - at
        piece = data.byteslice(at, take)
        if @field == :body
          @body.write(piece)
        else
          @part << piece
        end
        at += take
        @want -= take
        field_complete if @want.zero?
      end
      at
    rescue Refused
      discard
      raise
    end

    # The connection ended: a request still incomplete is truncated.
    def end_of_stream
      return if done?

      discard
      raise Refused, "truncated"
    end

    # Frees the body of a request that will not be served.
    def close
      discard unless done?
    end

    private

    def discard
      @body&.close
      @body = nil
    end

    def expect(field, want)
      @field = field
      @want = want
      @part = String.new(encoding: Encoding::BINARY)
    end

    def number
      @part.unpack1("N")
    end

    def field_complete
      case @field
      when :cookie
        raise Refused, "bad-cookie" unless @part == COOKIE

        expect(:major, 4)
      when :major
        raise Refused, "unsupported-version" unless number == MAJOR_VERSION

        @major = number
        expect(:minor, 4)
      when :minor
        @minor = number
        expect(:count, 4)
      when :count
        count = number
        raise Refused, "missing-content-key" if count.zero?
        raise Refused, "too-many-keys" if count > @limits.max_keys

        @keys_left = count
        next_key
      when :name_length
        text(:name, variable_length(number))
      when :name
        @name = @part
        expect(:value_length, 4)
      when :value_length
        text(:value, variable_length(number))
      when :value
        @variables << [@name, @part]
        next_key
      when :content_name_length
        raise Refused, "missing-content-key" unless number == CONTENT_KEY.bytesize

        expect(:content_name, number)
      when :content_name
        raise Refused, "missing-content-key" unless @part == CONTENT_KEY

        expect(:body_length, 4)
      when :body_length
        body_length
      when :body
        @body.rewind
        @request = LinkRequest.new([@major, @minor], @variables, @body, @body_length)
        @body = nil
        expect(:done, 0)
      end
    end

    def body_length
      length = number
      raise Refused, "body-too-large" if length > @limits.max_body_bytes

      @body_length = length
      @body = if length > @limits.spool_bytes
                # Disk, not memory, for a large body; the file grows only as bytes arrive.
                spool_file
              else
                StringIO.new(String.new(encoding: Encoding::BINARY))
              end
      text(:body, length)
    end

    def spool_file
      file = Tempfile.create("dostrel-body-", binmode: true)
      File.unlink(file.path)
      file
    end

    # An empty text completes at once: no byte will come for it.
    def text(field, length)
      expect(field, length)
      field_complete if length.zero?
    end

    def variable_length(length)
      raise Refused, "variables-too-large" if @variable_bytes + length > @limits.max_variable_bytes

      @variable_bytes += length
      length
    end

    def next_key
      @keys_left -= 1
      expect(@keys_left.positive? ? :name_length : :content_name_length, 4)
    end
  end
end
