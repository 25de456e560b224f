# basic.ru -- a plain Rack application for the server tests: says who served it, sleeps, fails
# before or after its first byte, or shows what the server put in the environment. Under
# Rack::Lint, but for /bare, whose Array body the server sees as such.
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
  when "/late-boom" then return [200, { "Content-Type" => "text/plain" }, LateFailure.new]
  when "/env"
    shown = env.reject { |k, _| k.start_with?("rack.") }
    shown["rack"] = env.slice("rack.url_scheme", "rack.multithread", "rack.multiprocess",
                              "rack.hijack?", "rack.run_once")
    return [200, { "Content-Type" => "application/json" }, [JSON.generate(shown)]]
  end
  body = "#{env['REQUEST_METHOD']} #{path} #{Process.pid} #{env['rack.input'].read.bytesize}\n"
  [200, { "Content-Type" => "text/plain", "Content-Length" => body.bytesize.to_s }, [body]]
end
lint = Rack::Lint.new(app)
bare = [200, { "Content-Type" => "text/plain", "X-Two" => "a\nb" }, ["bare ", "body"]].freeze
run ->(env) { env["PATH_INFO"] == "/bare" ? bare.map(&:dup) : lint.call(env) }
