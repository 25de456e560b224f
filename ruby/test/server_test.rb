# frozen_string_literal: true

# server_test.rb -- the server as a process over raw link connections and through the gateway:
# refusals and their reasons, idle and stalled connections beside good requests, sparse
# requests, Rack 3's answers, failures before and after the first byte, stuck requests, the
# allow-list, a worker killed before its handler ran, INT.
require "json"
require "open3"
require_relative "helper"

class RobustnessTest < ServerTest
  def ask(port, path = "/", body = "", method: "GET", query: "")
    Link.exchange(port, Link.request(Link.cgi(path, method: method, query: query), body), timeout: 30)
  end

  def ok?(reply, path)
    reply.is_a?(String) && reply.start_with?("Status: 200 OK\r\n") && reply.include?(" #{path} ")
  end

  def test_refusals_stalls_failures_and_the_allow_list
    server = start_rack("--read-timeout", "2", "--max-body-bytes", "1000", "--max-keys", "50",
                        "--max-variable-bytes", "4000", "--timeout", "3", "--threads", "2", "basic.ru")
    port = server.port
    held = Array.new(5) { Socket.tcp("127.0.0.1", port) } # four idle, one stalled in its request
    held[0].write(Link.request(Link.cgi).byteslice(0, 30))
    Socket.tcp("127.0.0.1", port) { |s| s.write(Link.request(Link.cgi).byteslice(0, 40)) }
    refused = {
      "bad-cookie" => "GET / HTTP/1.0\r\n\r\n",
      "body-too-large" => Link.request(Link.cgi, "x" * 1001),
      "unsupported-version" => Link.request([], version: [2, 0]),
      "too-many-keys" => Link.request(Array.new(50) { |n| ["V#{n}", "v"] }),
      "variables-too-large" => Link.request([["BIG", "v" * 4000]]),
      "missing-content-key" => "\x09\x23\x19\x63".b + [1, 0, 0].pack("NNN")
    }
    refused.each { |reason, data| assert_includes ["", :reset], Link.exchange(port, data), "#{reason}: a byte written" }
    # The one worker, holding the stalled connections, answers every good request at once.
    20.times { |n| assert ok?(ask(port, "/good", query: "n=#{n}"), "/good") }
    assert ok?(ask(port, "/", "y" * 1000, method: "POST"), "/"), "a body at the limit"
    refute_includes server.log, "timeout", "the stalled connections outlived the good requests"
    held.each do |sock|
      assert_equal "", Timeout.timeout(10) { sock.read }, "a stalled connection is closed without a byte"
      assert_includes server.log, "127.0.0.1:#{sock.local_address.ip_port}: refused: timeout"
    end
    log = server.log
    (refused.keys + ["truncated"]).each { |reason| assert_match(/127\.0\.0\.1:\d+: refused: #{reason}\n/, log) }
    assert_match(%r{^127\.0\.0\.1 - - \[.+\] "GET /cgi-bin/dostrel/good\?n=19 HTTP/1\.1" 200 \d+ }, log)

    # A sparse request gets Rack's defaults, and nothing dropped sneaks in; an empty one is GET /.
    reply = Link.exchange(port, Link.request([["PATH_INFO", "/env"], ["HTTPS", "on"], ["HTTP_PROXY", "x"],
                                              ["HTTP_CONTENT_LENGTH", "9"], ["rack.session", "x"]], "ab"))
    assert_equal({ "REQUEST_METHOD" => "GET", "SERVER_NAME" => "127.0.0.1", "SERVER_PORT" => port.to_s,
                   "SCRIPT_NAME" => "", "PATH_INFO" => "/env", "QUERY_STRING" => "", "CONTENT_LENGTH" => "2",
                   "HTTPS" => "on", "SERVER_PROTOCOL" => "HTTP/1.0",
                   "rack" => { "rack.url_scheme" => "https", "rack.multithread" => true,
                               "rack.multiprocess" => false, "rack.hijack?" => false,
                               "rack.run_once" => false } }, JSON.parse(reply.split("\r\n\r\n", 2)[1]))
    assert ok?(Link.exchange(port, Link.request([])), "/")
    assert_equal "Status: 200 OK\r\nContent-Type: text/plain\r\nX-Two: a\r\nX-Two: b\r\nx-three: c\r\n" \
                 "x-three: d\r\nContent-Length: 9\r\n\r\nbare body", ask(port, "/bare"),
                 "Rack 2's and Rack 3's multiple values, a length declared for an Array body"

    # Rack 3's shapes on either major: a streaming body writes the answer and reads the request's
    # body; the callables of rack.response_finished run; a partial hijack is refused, logged.
    assert_equal "Status: 200 OK\r\ncontent-type: text/plain\r\n\r\nstreamed xyz",
                 ask(port, "/streamed", "xyz", method: "POST")
    assert ok?(ask(port, "/finished"), "/finished")
    wait_for(5, "the callable's line") { server.log.include?("finished 200 text/plain nil\n") }
    assert ask(port, "/hijack").start_with?("Status: 500 Internal Server Error\r\n")
    assert_match(/answered 500: Dostrel::HijackRefused: .*hijack the connection \(rack\.hijack\)/, server.log)

    # Before the first byte a plain 500 page; after it a reset, and the gateway fails with error 11.
    reply = ask(port, "/boom")
    assert reply.start_with?("Status: 500 Internal Server Error\r\n")
    refute_includes reply, "secret"
    assert_equal :reset, ask(port, "/late-boom")
    cgi = File.join(start_web(port).root, "cgi-bin")
    # The environment a web server gives, not the test runner's, whose size would meet --max-keys.
    out, err, status = Open3.capture3({ "REQUEST_METHOD" => "GET", "PATH_INFO" => "/late-boom" },
                                      File.join(cgi, "dostrel"), chdir: cgi, unsetenv_others: true)
    assert_equal [1, true], [status.exitstatus, err.include?("error 11: ")], "#{out.inspect} #{err}"
    refute_includes out, "Status: 500", "the head had gone out: no error page after it"
    assert_match(/answered 500: RuntimeError: the secret reason/, server.log)
    assert_match(%r{error after the answer began \(15 body bytes sent\) in GET /late-boom; connection reset}, server.log)

    # --timeout: a request stuck past it has its worker killed and its connection reset, though
    # the worker's other thread serves on meanwhile.
    first = server.workers
    stuck = Thread.new { ask(port, "/stuck") }
    sleep 0.2
    assert ok?(ask(port, "/other"), "/other")
    assert_equal :reset, timed("stuck request ended") { stuck.value }
    assert_match(%r{worker #{first[0]} silent for [\d.]+s \(--timeout 3s\), a request ran too long: killed; connection reset: 127\.0\.0\.1:\d+ GET /cgi-bin/dostrel/stuck after}, server.log)
    wait_for(10, "a new worker") { server.workers.size == 1 && server.workers != first }
    assert ok?(ask(port, "/after"), "/after")
    refute_match(/LintError/, server.log)

    # The allow-list, checked at the accept.
    guarded = start_rack("--allow", "192.0.2.1,10.0.0.0/8", "--preload", "basic.ru")
    assert_includes ["", :reset], ask(guarded.port), "not allowed: no byte"
    assert_match(/127\.0\.0\.1:\d+: refused: not-allowed\n/, guarded.log)
    assert_includes guarded.log, "serving the preloaded application"
    opened = start_rack("--allow", "192.0.2.1,127.0.0.0/8", "basic.ru")
    assert ok?(ask(opened.port), "/")

    # A worker killed before its handler ran resets the connection it held: no orderly close
    # that the gateway could take for an answer with nothing in it.
    opened.wait_ready(1)
    worker = opened.workers.first
    sockets = lambda do
      Dir.children("/proc/#{worker}/fd").count { |fd| File.readlink("/proc/#{worker}/fd/#{fd}").start_with?("socket:") }
    end
    idle = sockets.call
    Socket.tcp("127.0.0.1", opened.port) do |sock|
      sock.write(Link.request(Link.cgi).byteslice(0, 40))
      wait_for(10, "the connection taken") { sockets.call > idle }
      Process.kill("KILL", worker)
      assert_raises(Errno::ECONNRESET) { Timeout.timeout(10) { sock.read } }
    end

    # INT: out at once, the answer under way reset rather than cut short in silence.
    opened.wait_ready(1)
    slow = Thread.new { ask(opened.port, "/sleep", query: "20") }
    sleep 0.3 # the request reaches a thread
    opened.signal("INT")
    assert_equal :reset, slow.value
    assert_equal 0, timed("fast stop") { opened.wait(10) }

    # An application that cannot be loaded stops the server with status 3.
    broken = start_rack("no-such.ru", listening: false)
    assert_equal 3, broken.wait(30)
    assert_equal "", broken.output, "no listening line for an application that did not load"
    assert_match(/cannot load the application no-such\.ru: ArgumentError/, broken.log)
  end
end
