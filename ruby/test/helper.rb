# frozen_string_literal: true

# helper.rb -- what the tests share: a link-protocol client, the server under test as a process
# (the installed dostrel-rack, or rackup), lighttpd with the real gateway, and a small browser.
require "minitest/autorun"
require "fileutils"
require "net/http"
require "socket"
require "timeout"
require "tmpdir"

SOURCE = File.expand_path("../..", __dir__)
APPS = File.join(__dir__, "apps")
VECTORS = File.join(SOURCE, "tests", "vectors")

module Link
  module_function

  # The bytes of a link request: variables as [name, value] pairs.
  def request(variables, body = "", version: [1, 0])
    text = ->(data) { [data.bytesize].pack("N") + data.b }
    out = "\x09\x23\x19\x63".b + [*version, variables.size + 1].pack("NNN")
    variables.each { |name, value| out << text[name] << text[value] }
    out << text["XBRENNOX_CONTENT_DATA"] << text[body]
  end

  def cgi(path = "/", method: "GET", query: "")
    [["REQUEST_METHOD", method], ["SCRIPT_NAME", "/cgi-bin/dostrel"], ["PATH_INFO", path],
     ["QUERY_STRING", query], ["SERVER_PROTOCOL", "HTTP/1.1"], ["REMOTE_ADDR", "127.0.0.1"]]
  end

  # Sends data on a new connection and returns all that comes back until the close, or :reset.
  def exchange(port, data, timeout: 10)
    Socket.tcp("127.0.0.1", port) do |sock|
      sock.write(data)
      Timeout.timeout(timeout, RuntimeError, "no answer within #{timeout}s") { sock.read }
    end
  rescue Errno::ECONNRESET, Errno::EPIPE
    :reset
  end
end

def wait_for(seconds, what)
  Timeout.timeout(seconds, Minitest::Assertion, "timed out waiting for #{what}") { sleep 0.05 until yield }
end

# A server process that prints "listening on 127.0.0.1:PORT" first, once it can serve:
# dostrel-rack, or rackup. With listening: false, one expected to fail, whose standard output
# is kept in a file (output).
class ServerProcess
  attr_reader :port, :pid

  def initialize(command, dir, env: {}, chdir: APPS, listening: true)
    @log_path = File.join(dir, "server-#{object_id}.log")
    @out_path = File.join(dir, "server-#{object_id}.out")
    out_r, out_w = listening ? IO.pipe : [nil, @out_path]
    @pid = Process.spawn(env, *command, chdir: chdir, out: out_w, err: @log_path, pgroup: true)
    @waiter = Process.detach(@pid)
    return unless listening

    out_w.close
    line = out_r.wait_readable(60) && out_r.gets
    out_r.close
    @port = line.to_s[/\Alistening on 127\.0\.0\.1:(\d+)$/, 1].to_i
    return unless @port.zero?

    stop
    raise "no listening line: #{line.inspect}\n#{log}"
  end

  def output = File.read(@out_path)
  def log = File.read(@log_path, encoding: "UTF-8").scrub
  def signal(name) = Process.kill(name, @pid)

  def workers
    File.read("/proc/#{@pid}/task/#{@pid}/children").split.map(&:to_i)
  rescue SystemCallError
    []
  end

  def wait_ready(count, seconds = 30)
    wait_for(seconds, "#{count} workers") do
      (w = workers).size == count && w.all? { |pid| log.include?("worker #{pid} ready") }
    end
  end

  # The exit status once it has ended by itself within seconds.
  def wait(seconds)
    @waiter.join(seconds) or raise Minitest::Assertion, "the server did not end within #{seconds}s"
    @waiter.value.exitstatus
  end

  def stop
    signal("TERM") if @waiter.alive?
    @waiter.join(20)
    Process.kill("KILL", -@pid) # the whole group: a worker left behind, or a server stuck
  rescue Errno::ESRCH
    nil
  end
end

# lighttpd on 127.0.0.1 with the dostrel gateway as its CGI program, by the shared web harness.
class Web
  attr_reader :base, :root

  def initialize(root, app_port)
    @root = root
    @io = IO.popen(["bash", File.join(SOURCE, "tests", "support", "web_gateway.sh"),
                    ENV.fetch("DOSTREL_BUILD"), root, app_port.to_s])
    line = @io.gets.to_s
    raise "lighttpd did not start" unless line.start_with?("listening on ")

    @base = "http://#{line.split.last}/cgi-bin/dostrel"
  end

  def stop
    Process.kill("TERM", @io.pid)
    @io.close
  rescue Errno::ESRCH
    nil
  end
end

# A browser of sorts: keeps cookies, follows no redirect; a block gets the body in chunks.
class Browser
  Reply = Struct.new(:status, :headers, :body)

  def initialize
    @cookies = {}
  end

  def request(url, body = nil, headers = {}, &block)
    uri = URI(url)
    headers = headers.merge("Cookie" => @cookies.map { |pair| pair.join("=") }.join("; ")) if @cookies.any?
    req = body ? Net::HTTP::Post.new(uri, headers) : Net::HTTP::Get.new(uri, headers)
    req.body = body
    Net::HTTP.start(uri.host, uri.port, read_timeout: 120) do |http|
      http.request(req) do |response|
        response.get_fields("set-cookie")&.each { |cookie| @cookies.store(*cookie[/\A[^;]*/].split("=", 2)) }
        data = response.read_body(&block)
        return Reply.new(response.code.to_i, response.to_hash, block ? nil : data.force_encoding("UTF-8"))
      end
    end
  end

  def get(url) = request(url).body
end

# The base of the tests that start servers: a scratch folder, and everything stopped after.
class ServerTest < Minitest::Test
  def setup
    @dir = Dir.mktmpdir("dostrel-rack-test-")
    @started = []
  end

  def teardown
    @started.reverse_each(&:stop)
    FileUtils.rm_rf(@dir)
  end

  def start_rack(*args, rackup: false, **options)
    command = [ENV.fetch("DOSTREL_RACK", "dostrel-rack"), "--bind", "127.0.0.1:0"]
    command = %w[rackup -s dostrel -o 127.0.0.1 -p 0 -E production] if rackup
    ServerProcess.new(command + args, @dir, **options).tap { |s| @started << s }
  end

  def start_web(app_port)
    Web.new(File.join(@dir, "web#{@started.size}"), app_port).tap { |w| @started << w }
  end

  def timed(what)
    started = Process.clock_gettime(Process::CLOCK_MONOTONIC)
    result = yield
    puts format("%s: %.2fs", what, Process.clock_gettime(Process::CLOCK_MONOTONIC) - started)
    result
  end
end
