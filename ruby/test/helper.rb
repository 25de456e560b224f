# frozen_string_literal: true

# helper.rb -- what the tests share: a link-protocol client, the server under test as a process
# (the installed dostrel-rack, or rackup), lighttpd with the real gateway, and a small browser.
require "minitest/autorun"
require "fileutils"
require "net/http"
require "socket"
require "tmpdir"

SOURCE = File.expand_path("../..", __dir__)
APPS = File.join(__dir__, "apps")
VECTORS = File.join(SOURCE, "tests", "vectors")

module Link
  module_function

  def text(data)
    [data.bytesize].pack("N") + data.b
  end

  # The bytes of a link request: variables as [name, value] pairs.
  def request(variables, body = "", version: [1, 0])
    out = "\x09\x23\x19\x63".b + [version[0], version[1], variables.size + 1].pack("NNN")
    variables.each { |name, value| out << text(name) << text(value) }
    out << text("XBRENNOX_CONTENT_DATA") << text(body)
  end

  def cgi(path = "/", method: "GET", query: "", extra: [])
    [["GATEWAY_INTERFACE", "CGI/1.1"], ["REQUEST_METHOD", method],
     ["SCRIPT_NAME", "/cgi-bin/dostrel"], ["PATH_INFO", path], ["QUERY_STRING", query],
     ["SERVER_NAME", "localhost"], ["SERVER_PORT", "80"], ["SERVER_PROTOCOL", "HTTP/1.1"],
     ["REMOTE_ADDR", "127.0.0.1"]] + extra
  end

  # Sends data on a new connection and returns all that comes back until the close; a reset
  # reads as :reset.
  def exchange(port, data, timeout: 10)
    sock = Socket.tcp("127.0.0.1", port)
    received = "".b
    sock.write(data)
    while sock.wait_readable(timeout)
      chunk = sock.read_nonblock(65_536, exception: false)
      return received if chunk.nil?

      received << chunk if chunk.is_a?(String)
    end
    raise "no answer within #{timeout}s"
  rescue Errno::ECONNRESET, Errno::EPIPE
    :reset
  ensure
    sock&.close
  end
end

def wait_for(seconds, what)
  deadline = Process.clock_gettime(Process::CLOCK_MONOTONIC) + seconds
  until yield
    raise Minitest::Assertion, "timed out waiting for #{what}" \
      if Process.clock_gettime(Process::CLOCK_MONOTONIC) > deadline

    sleep 0.05
  end
end

# A server process that prints "listening on 127.0.0.1:PORT" first: dostrel-rack, or rackup.
class ServerProcess
  attr_reader :port, :pid

  def initialize(command, dir, env: {}, chdir: APPS)
    @log_path = File.join(dir, "server-#{object_id}.log")
    out_r, out_w = IO.pipe
    @pid = Process.spawn(env, *command, chdir: chdir, out: out_w, err: @log_path, pgroup: true)
    out_w.close
    line = out_r.wait_readable(60) && out_r.gets
    out_r.close
    unless line =~ /\Alistening on 127\.0\.0\.1:(\d+)$/
      stop
      raise "no listening line: #{line.inspect}\n#{log}"
    end
    @port = Regexp.last_match(1).to_i
  end

  def self.rack(args, dir, **options)
    new([ENV.fetch("DOSTREL_RACK", "dostrel-rack"), "--bind", "127.0.0.1:0", *args], dir,
        **options)
  end

  def log
    File.read(@log_path, encoding: "UTF-8").scrub
  end

  def workers
    File.read("/proc/#{@pid}/task/#{@pid}/children").split.map(&:to_i)
  rescue SystemCallError
    []
  end

  def wait_ready(count, seconds = 30)
    wait_for(seconds, "#{count} workers") do
      workers.size == count && workers.all? { |w| log.include?("worker #{w} ready") }
    end
  end

  def signal(name)
    Process.kill(name, @pid)
  end

  # The exit status once it ended by itself within seconds, else nil.
  def wait(seconds)
    wait_for(seconds, "the server to end") { Process.waitpid(@pid, Process::WNOHANG) }
    @status = $?.exitstatus
  end

  def stop
    unless @status || Process.waitpid(@pid, Process::WNOHANG)
      signal("TERM")
      begin
        wait(20)
      rescue Minitest::Assertion
        Process.kill("KILL", -@pid)
        Process.waitpid(@pid)
      end
    end
    @status ||= 0
    Process.kill("KILL", -@pid) # a worker left behind, if any
  rescue Errno::ESRCH, Errno::ECHILD
    nil
  end
end

# lighttpd on 127.0.0.1 with the dostrel gateway as its CGI program.
class Web
  attr_reader :base, :root

  def initialize(root, app_port)
    @root = root
    build = ENV.fetch("DOSTREL_BUILD")
    cgi = File.join(root, "cgi-bin")
    [cgi, File.join(root, "logs"), File.join(root, "htdocs")].each { |d| FileUtils.mkdir_p(d) }
    FileUtils.cp(File.join(build, "dostrel"), cgi)
    File.write(File.join(cgi, "dostrel.cnf"), "link * tcp 127.0.0.1 #{app_port}\n")
    template = File.read(File.join(SOURCE, "examples", "webservers", "lighttpd.conf"))
    5.times do # another port if this one was taken meanwhile
      @port = TCPServer.open("127.0.0.1", 0) { |s| s.addr[1] }
      config = File.join(root, "lighttpd.conf")
      File.write(config, template.gsub("@ROOT@", root).gsub("@PORT@", @port.to_s))
      @pid = Process.spawn("lighttpd", "-D", "-f", config, err: File::NULL)
      break if up?

      stop
    end
    raise "lighttpd did not start" unless @pid

    @base = "http://127.0.0.1:#{@port}/cgi-bin/dostrel"
  end

  def up?
    100.times do
      return false if Process.waitpid(@pid, Process::WNOHANG)

      begin
        Socket.tcp("127.0.0.1", @port, connect_timeout: 1).close
        return true
      rescue SystemCallError
        sleep 0.05
      end
    end
    false
  end

  def stop
    Process.kill("TERM", @pid)
    Process.waitpid(@pid)
  rescue Errno::ESRCH, Errno::ECHILD
    nil
  ensure
    @pid = nil
  end
end

# A browser of sorts: keeps cookies, follows no redirect.
class Browser
  Reply = Struct.new(:status, :headers, :body)

  def initialize
    @cookies = {}
  end

  def request(url, body = nil, headers = {}, method: nil, &block)
    uri = URI(url)
    method ||= body ? "POST" : "GET"
    req = Net::HTTPGenericRequest.new(method, !body.nil?, true, uri.request_uri, headers)
    req.body = body if body
    req["Cookie"] = @cookies.map { |k, v| "#{k}=#{v}" }.join("; ") unless @cookies.empty?
    Net::HTTP.start(uri.host, uri.port, read_timeout: 120) do |http|
      http.request(req) do |response|
        (response.get_fields("set-cookie") || []).each do |cookie|
          name, value = cookie.split(";").first.split("=", 2)
          @cookies[name] = value
        end
        data = nil
        if block
          response.read_body(&block)
        else
          data = response.read_body
        end
        return Reply.new(response.code.to_i, response.to_hash, data)
      end
    end
  end
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

  def start_rack(*args, **options)
    ServerProcess.rack(args, @dir, **options).tap { |s| @started << s }
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
