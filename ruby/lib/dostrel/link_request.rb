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
  EMPTY = "".b.freeze
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
    NUMBERS = %i[major minor count name_length value_length content_name_length body_length].freeze
    attr_reader :request

    def initialize(limits = Limits.new)
      @limits = limits
      @variables = []
      @variable_bytes = 0
      @keys_left = 0
      @major = @minor = 0
      @body = nil
      @request = nil
      @part = String.new(encoding: Encoding::BINARY) # a field that arrives in pieces
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
        left = total - at
        if @field == :body
          take = @want < left ? @want : left
          @body.write(data.byteslice(at, take))
          at += take
          @want -= take
          field_complete(nil) if @want.zero?
        elsif @field == :name_length && @part.empty? && (moved = whole_variables(data, at, total)) > at
          at = moved
        elsif @part.empty? && left >= @want
          # The common case: the whole field is here, taken without a copy into @part.
          want = @want
          @want = 0
          field_complete(NUMBERS.include?(@field) ? data.unpack1("N", offset: at) : data.byteslice(at, want))
          at += want
        else
          take = @want < left ? @want : left
          @part << data.byteslice(at, take)
          at += take
          @want -= take
          next unless @want.zero?

          field = @part
          @part = String.new(encoding: Encoding::BINARY)
          field_complete(NUMBERS.include?(@field) ? field.unpack1("N") : field)
        end
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

    # The variables that are here whole, taken in one step each: the usual request arrives at
    # once, and field by field costs several times as much. Returns the new offset.
    def whole_variables(data, at, total)
      while @field == :name_length && total - at >= 8
        name_length = data.unpack1("N", offset: at)
        break if total - at < name_length + 8

        value_length = data.unpack1("N", offset: at + 4 + name_length)
        break if total - at < name_length + value_length + 8

        variable_length(name_length)
        variable_length(value_length)
        @variables << [data.byteslice(at + 4, name_length),
                       data.byteslice(at + 8 + name_length, value_length)]
        at += name_length + value_length + 8
        next_key
      end
      at
    end

    def discard
      @body&.close
      @body = nil
    end

    def expect(field, want)
      @field = field
      @want = want
    end

    # value: the field's number, or its bytes (nil for the body, which went to its file).
    def field_complete(value)
      case @field
      when :cookie
        raise Refused, "bad-cookie" unless value == COOKIE

        expect(:major, 4)
      when :major
        raise Refused, "unsupported-version" unless value == MAJOR_VERSION

        @major = value
        expect(:minor, 4)
      when :minor
        @minor = value
        expect(:count, 4)
      when :count
        raise Refused, "missing-content-key" if value.zero?
        raise Refused, "too-many-keys" if value > @limits.max_keys

        @keys_left = value
        next_key
      when :name_length
        text(:name, variable_length(value))
      when :name
        @name = value
        expect(:value_length, 4)
      when :value_length
        text(:value, variable_length(value))
      when :value
        @variables << [@name, value]
        next_key
      when :content_name_length
        raise Refused, "missing-content-key" unless value == CONTENT_KEY.bytesize

        expect(:content_name, value)
      when :content_name
        raise Refused, "missing-content-key" unless value == CONTENT_KEY

        expect(:body_length, 4)
      when :body_length
        body_length(value)
      when :body
        @body.rewind
        @request = LinkRequest.new([@major, @minor], @variables, @body, @body_length)
        @body = nil
        expect(:done, 0)
      end
    end

    def body_length(length)
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
      field_complete(field == :body ? nil : EMPTY) if length.zero?
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
