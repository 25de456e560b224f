# basic.ru -- a plain Rack application for the server tests: says who served it, sleeps, fails
# before or after its first byte, shows what the server put in the environment, streams with
# call(stream), or logs its rack.response_finished call. Under Rack::Lint, but for the answers
# that Rack 2's Lint would refuse or hide (answers).
require "json"

# Fails after the first chunk has gone out.
class LateFailure
  def each
    yield "the first part\n"
    raise "failed after the first byte"
  end
end

app = lambda do |env|
  path = env["PATH_INFO"]
  case path
  when "/sleep" then sleep((env["QUERY_STRING"].empty? ? "1" : env["QUERY_STRING"]).to_f)
  when "/stuck" then sleep 3600
  when "/boom" then raise "the secret reason"
  when "/late-boom" then return [200, { "content-type" => "text/plain" }, LateFailure.new]
  when "/finished"
    env["rack.response_finished"] << lambda do |_env, status, headers, error|
      warn "finished #{status} #{headers['content-type']} #{error.inspect}"
    end
  when "/env"
    shown = env.reject { |k, _| k.start_with?("rack.") }
    shown["rack"] = env.slice("rack.url_scheme", "rack.multithread", "rack.multiprocess",
                              "rack.hijack?", "rack.run_once")
    return [200, { "content-type" => "application/json" }, [JSON.generate(shown)]]
  end
  body = "#{env['REQUEST_METHOD']} #{path} #{Process.pid} #{env['rack.input'].read.bytesize}\n"
  [200, { "content-type" => "text/plain", "content-length" => body.bytesize.to_s }, [body]]
end
lint = Rack::Lint.new(app)
streamed = lambda do |stream|
  stream << "streamed "
  stream.write(stream.read)
  stream.close
end
answers = {
  # Rack 2's multi-line and Rack 3's Array values; an Array body whose length is known.
  "/bare" => -> { [200, { "Content-Type" => "text/plain", "X-Two" => "a\nb", "x-three" => %w[c d] }, ["bare ", "body"]] },
  # A streaming body alone (Rack 2's Lint wants each).
  "/streamed" => -> { [200, { "content-type" => "text/plain" }, streamed] },
  # A partial hijack (Rack 2's Lint hides it when rack.hijack? is false).
  "/hijack" => -> { [200, { "rack.hijack" => ->(io) { io.write("taken") } }, []] }
}.freeze
run ->(env) { answers[env["PATH_INFO"]]&.call || lint.call(env) }
