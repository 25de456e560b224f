# frozen_string_literal: true

# env.rb -- the Rack environment of one request, made from the variables the gateway forwarded.

module Dostrel
  module Env
    # Never handed to the application: the body's length and type are CONTENT_LENGTH and
    # CONTENT_TYPE, and a client's "Proxy:" header must not pass for proxy settings (httpoxy).
    DROPPED = %w[HTTP_CONTENT_LENGTH HTTP_CONTENT_TYPE HTTP_PROXY].freeze
    RACK_VERSION = [1, 3].freeze
    # Names as the application sees them, made once: nearly every request repeats the same few
    # dozen. Bounded, since the names come from outside.
    KEYS = {}
    KEYS_KEPT = 4096
    AUTHORITY = /\A(?:[A-Za-z0-9._~!$&'()*+,;=-]+|\[[0-9A-Fa-f:.]+\])\z/.freeze

    module_function

    # server: [name, port] of the listener that accepted the connection, for what the request
    # lacks. Names are strings; values are binary, as the web server gave their bytes.
    def build(request, server, multithread:, multiprocess:, errors: $stderr)
      env = {}
      request.variables.each do |name, value|
        key = KEYS[name] || key_for(name)
        # A repeated name keeps its first value, as getenv() would find it.
        env[key] = value unless key.nil? || env.key?(key)
      end
      defaults(env, request, server)
      https = %w[on 1].include?(env["HTTPS"].to_s.downcase)
      env["rack.version"] = RACK_VERSION
      env["rack.url_scheme"] = https ? "https" : "http"
      env["rack.input"] = request.body
      env["rack.errors"] = errors
      env["rack.multithread"] = multithread
      env["rack.multiprocess"] = multiprocess
      env["rack.run_once"] = false
      env["rack.hijack?"] = false
      env["rack.response_finished"] = [] # Rack 3's callables for after the answer (Handler)
      env
    end

    # The name as a frozen string, or nil for one never given to the application: the dropped
    # ones, and names with a dot, which are Rack's own (rack.input, rack.session).
    def key_for(name)
      key = (name.ascii_only? ? name.dup.force_encoding(Encoding::UTF_8) : name.dup).freeze
      key = nil if DROPPED.include?(key) || key.include?(".")
      KEYS[name.dup.freeze] = key if KEYS.size < KEYS_KEPT && key
      key
    end

    # What Rack requires and a sparse request may lack, and the shapes Rack insists on.
    def defaults(env, request, server)
      env["REQUEST_METHOD"] = +"GET" if env["REQUEST_METHOD"].to_s.empty?
      env["QUERY_STRING"] ||= +""
      env["SERVER_PROTOCOL"] ||= +"HTTP/1.0"
      env["SERVER_NAME"] = server[0].dup unless AUTHORITY.match?(env["SERVER_NAME"].to_s.b)
      env["SERVER_PORT"] = server[1].to_s unless /\A\d{1,5}\z/.match?(env["SERVER_PORT"].to_s)
      public_path(env)
      # Paths start with "/" or are empty; a SCRIPT_NAME of "/" is the empty one.
      script = env["SCRIPT_NAME"].to_s.sub(%r{/+\z}, "")
      script = "/#{script}" unless script.empty? || script.start_with?("/")
      env["SCRIPT_NAME"] = script
      path = env["PATH_INFO"].to_s
      path = "/#{path}" unless path.empty? || path.start_with?("/")
      path = +"/" if path.empty? && script.empty?
      env["PATH_INFO"] = path
      # The body is what the content key carried, whatever the variables claimed.
      if request.body_length.positive? || env.key?("CONTENT_LENGTH")
        env["CONTENT_LENGTH"] = request.body_length.to_s
      end
    end

    # SCRIPT_NAME and PATH_INFO as the client wrote them, as Rack servers pass them: the public
    # prefix (empty where the web server rewrote the whole site to the gateway) and the rest of
    # REQUEST_URI's path, still percent-encoded. Left as the web server gave them where
    # REQUEST_URI does not end in what PATH_INFO names.
    def public_path(env)
      raw = env["REQUEST_URI"].to_s.b.split("?", 2).first.to_s
      return unless raw.start_with?("/")

      path = env["PATH_INFO"].to_s.b
      starts = []
      decoded = raw.gsub(/%[0-9A-Fa-f]{2}|./m) do |piece|
        starts << Regexp.last_match.begin(0)
        piece.length == 3 ? piece[1, 2].hex.chr : piece
      end
      # Each decoded byte came from one piece of the raw path: the tail that decodes to
      # PATH_INFO starts at the piece as many from the end as PATH_INFO is long.
      first = starts.length - path.bytesize
      return if first.negative? || decoded.byteslice(first, path.bytesize) != path

      cut = starts[first] || raw.bytesize
      env["SCRIPT_NAME"] = raw.byteslice(0, cut)
      env["PATH_INFO"] = raw.byteslice(cut, raw.bytesize - cut)
    end
  end
end
