# frozen_string_literal: true

# server_test.rb -- the server as a process over raw link connections and through the gateway:
# refusals and their reasons, idle and stalled connections beside good requests, sparse
# requests, failures before and after the first byte, a stuck request, the allow-list.
require "json"
require "open3"
require_relative "helper"

class RobustnessTest < ServerTest
  ACCESS_LINE = %r{^127\.0\.0\.1 - - \[\d\d/\w{3}/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\] "GET /cgi-bin/dostrel/good\?n=\d+ HTTP/1\.1" 200 \d+ "-" "-" \d+\.\d{3}$}.freeze

  def ok?(reply, path)
    reply.is_a?(String) && reply.start_with?("Status: 200 OK\r\n") && reply.include?(" #{path} ")
  end

  def test_refusals_stalls_failures_and_the_allow_list
    server = start_rack("--read-timeout", "2", "--max-body-bytes", "1000", "--max-keys", "50",
                        "--max-variable-bytes", "4000", "--timeout", "3", "basic.ru")
    idle = Array.new(4) { Socket.tcp("127.0.0.1", server.port) }
    stalled = Socket.tcp("127.0.0.1", server.port)
    stalled.write(Link.request(Link.cgi).byteslice(0, 30))
    truncated = Socket.tcp("127.0.0.1", server.port)
    truncated.write(Link.request(Link.cgi).byteslice(0, 40))
    truncated.close
    refused = {
      "bad-cookie" => "GET / HTTP/1.0\r\n\r\n",
      "body-too-large" => Link.request(Link.cgi, "x" * 1001),
      "unsupported-version" => Link.request([], version: [2, 0]),
      "too-many-keys" => Link.request(Array.new(50) { |n| ["V#{n}", "v"] }),
      "variables-too-large" => Link.request([["BIG", "v" * 4000]]),
      "missing-content-key" => "\x09\x23\x19\x63".b + [1, 0, 0].pack("NNN")
    }
    refused.each do |reason, data|
      assert_includes ["", :reset], Link.exchange(server.port, data), "#{reason}: no byte written"
    end
    # One worker holds six stalled connections and still answers every good request at once.
    20.times do |n|
      assert ok?(Link.exchange(server.port, Link.request(Link.cgi("/good", query: "n=#{n}"))), "/good")
    end
    assert ok?(Link.exchange(server.port, Link.request(Link.cgi(method: "POST"), "y" * 1000)), "/")
    refute_includes server.log, "timeout", "the stalled connections outlived the good requests"
    (idle + [stalled]).each do |sock|
      assert sock.wait_readable(10), "a stalled connection is closed"
      assert_nil sock.read_nonblock(10, exception: false), "closed without a byte"
    end
    log = server.log
    (idle + [stalled]).each do |sock|
      assert_includes log, "127.0.0.1:#{sock.local_address.ip_port}: refused: timeout"
      sock.close
    end
    (refused.keys + ["truncated"]).each do |reason|
      assert_match(/127\.0\.0\.1:\d+: refused: #{reason}\n/, log)
    end
    assert_equal 20, log.scan(ACCESS_LINE).size

    # A sparse request gets Rack's defaults; Rack::Lint holds; nothing dropped sneaks in.
    reply = Link.exchange(server.port, Link.request([["PATH_INFO", "/env"], ["HTTPS", "on"],
                                                     ["HTTP_PROXY", "x"], ["HTTP_CONTENT_LENGTH", "9"],
                                                     ["rack.session", "x"]], "ab"))
    env = JSON.parse(reply.split("\r\n\r\n", 2)[1])
    assert_equal({ "REQUEST_METHOD" => "GET", "SERVER_NAME" => "127.0.0.1",
                   "SERVER_PORT" => server.port.to_s, "SCRIPT_NAME" => "", "PATH_INFO" => "/env",
                   "QUERY_STRING" => "", "CONTENT_LENGTH" => "2", "HTTPS" => "on",
                   "SERVER_PROTOCOL" => "HTTP/1.0",
                   "rack" => { "rack.url_scheme" => "https", "rack.multithread" => false,
                               "rack.multiprocess" => false, "rack.hijack?" => false,
                               "rack.run_once" => false } }, env)
    assert ok?(Link.exchange(server.port, Link.request([])), "/"), "an empty request is GET /"
    reply = Link.exchange(server.port, Link.request(Link.cgi("/bare")))
    assert_equal "Status: 200 OK\r\nContent-Type: text/plain\r\nX-Two: a\r\nX-Two: b\r\n" \
                 "Content-Length: 9\r\n\r\nbare body", reply, "a length declared for an Array body"

    # Before the first byte a plain 500 page; after it a reset, and the gateway says so.
    reply = Link.exchange(server.port, Link.request(Link.cgi("/boom")))
    assert reply.start_with?("Status: 500 Internal Server Error\r\n")
    refute_includes reply, "secret"
    assert_equal :reset, Link.exchange(server.port, Link.request(Link.cgi("/late-boom")))
    web = start_web(server.port)
    cgi = File.join(web.root, "cgi-bin")
    out, err, status = Open3.capture3({ "REQUEST_METHOD" => "GET", "PATH_INFO" => "/late-boom" },
                                      File.join(cgi, "dostrel"), chdir: cgi)
    assert_equal 1, status.exitstatus, "the gateway fails a cut answer: #{out.inspect} #{err}"
    assert_match(/error 11: /, err)
    refute_includes out, "Status: 500", "the head had gone out: no error page after it"
    log = server.log
    assert_match(/answered 500: RuntimeError: the secret reason/, log)
    assert_match(/error after the answer began \(15 body bytes sent\) in GET \/late-boom; connection reset/, log)
    refute_match(/LintError/, log)

    # --timeout: a request stuck past it has its worker killed, its connection reset.
    first = server.workers
    reply = timed("stuck request ended") { Link.exchange(server.port, Link.request(Link.cgi("/stuck")), timeout: 30) }
    assert_equal :reset, reply
    assert_match(%r{worker #{first[0]} silent for [\d.]+s \(--timeout 3s\), a request ran too long: killed; connection reset: 127\.0\.0\.1:\d+ GET /cgi-bin/dostrel/stuck after [\d.]+s\n}, server.log)
    wait_for(10, "a new worker") { server.workers.size == 1 && server.workers != first }
    assert_equal 200, Browser.new.request("#{web.base}/after").status

    # The allow-list, checked at the accept.
    guarded = start_rack("--allow", "192.0.2.1,10.0.0.0/8", "--preload", "basic.ru")
    assert_includes guarded.log, "serving the preloaded application"
    assert_includes ["", :reset], Link.exchange(guarded.port, Link.request(Link.cgi)), "no byte"
    assert_match(/127\.0\.0\.1:\d+: refused: not-allowed/, guarded.log)
    opened = start_rack("--allow", "192.0.2.1,127.0.0.0/8", "--threads", "3", "--timeout", "2",
                        "basic.ru")
    assert ok?(Link.exchange(opened.port, Link.request(Link.cgi)), "/")

    # With threads, a stuck request ages its worker while the other threads go on serving.
    stuck = Thread.new { Link.exchange(opened.port, Link.request(Link.cgi("/stuck")), timeout: 30) }
    sleep 0.2
    assert ok?(Link.exchange(opened.port, Link.request(Link.cgi("/other"))), "/other")
    assert_equal :reset, stuck.value
    assert_match(%r{\(--timeout 2s\), a request ran too long: killed; connection reset: 127\.0\.0\.1:\d+ GET /cgi-bin/dostrel/stuck after}, opened.log)

    # INT: out at once, the answer under way reset, not cut short in silence.
    opened.wait_ready(1) # the stuck one's replacement
    slow = Thread.new { Link.exchange(opened.port, Link.request(Link.cgi("/sleep", query: "20")), timeout: 30) }
    sleep 0.3 # the request reaches a thread
    opened.signal("INT")
    assert_equal :reset, slow.value
    assert_equal 0, timed("fast stop") { opened.wait(10) }

    # An application that cannot be loaded stops the server with status 3.
    broken = start_rack("no-such.ru")
    assert_equal 3, broken.wait(30)
    assert_match(/cannot load the application no-such\.ru: ArgumentError: no such file/, broken.log)
  end
end
