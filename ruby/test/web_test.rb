# frozen_string_literal: true

# web_test.rb -- Sinatra and Rails applications, unchanged, through lighttpd and the real gateway,
# served by dostrel-rack and by `rackup -s dostrel`, every request under Rack::Lint.
require "digest"
require "securerandom"
require_relative "helper"

class WebTest < ServerTest
  PATTERN = (0..255).map(&:chr).join.b * 256

  def multipart(fields, files)
    boundary = "----dostrel#{SecureRandom.hex(8)}"
    body = "".b
    fields.each do |name, value|
      body << "--#{boundary}\r\nContent-Disposition: form-data; name=\"#{name}\"\r\n\r\n#{value}\r\n".b
    end
    files.each do |name, (filename, content)|
      body << "--#{boundary}\r\nContent-Disposition: form-data; name=\"#{name}\"; " \
              "filename=\"#{filename}\"\r\nContent-Type: application/octet-stream\r\n\r\n".b
      body << content << "\r\n"
    end
    body << "--#{boundary}--\r\n"
    [body, { "Content-Type" => "multipart/form-data; boundary=#{boundary}" }]
  end

  def peak_rss_kib(pid)
    File.read("/proc/#{pid}/status")[/VmHWM:\s+(\d+) kB/, 1].to_i
  end

  def refute_lint_errors(server)
    refute_match(/LintError/, server.log, "Rack::Lint found a fault")
  end

  def test_sinatra
    server = start_rack("--workers", "2", "--threads", "4", "--timeout", "20",
                        "sinatra/config.ru")
    web = start_web(server.port)
    browser = Browser.new
    reply = browser.request("#{web.base}/")
    assert_equal 200, reply.status
    assert_includes reply.body, "href='/cgi-bin/dostrel/hello/world?q=1'"
    assert_equal "hello you q=a b", browser.request("#{web.base}/hello/you?q=a%20b").body
    assert_equal "hello café q=", browser.request("#{web.base}/hello/caf%C3%A9").body.force_encoding("UTF-8")
    reply = browser.request("#{web.base}/form", URI.encode_www_form(a: "1", b: "ü ber"))
    assert_equal [200, "a=1|b=ü ber"], [reply.status, reply.body.force_encoding("UTF-8")]
    counts = Array.new(3) { browser.request("#{web.base}/count").body }
    assert_equal ["count 1", "count 2", "count 3"], counts, "the session cookie goes round"
    assert_equal "count 1", Browser.new.request("#{web.base}/count").body
    cookies = browser.request("#{web.base}/cookies").headers["set-cookie"]
    assert_equal %w[first=1 second=2], cookies.map { |c| c.split(";").first }.grep(/\A(first|second)=/)
    reply = browser.request("#{web.base}/go")
    assert_equal 302, reply.status
    assert_match %r{\Ahttp://127\.0\.0\.1:\d+/cgi-bin/dostrel/hello/there\z}, reply.headers["location"][0]
    assert_equal 404, browser.request("#{web.base}/no/such/page").status
    reply = browser.request("#{web.base}/boom")
    assert_equal 500, reply.status
    refute_includes reply.body, "secret"
    wait_for(5, "the error in the log") { server.log.include?("the secret reason") }

    # A 1 MB upload arrives byte-exact.
    content = SecureRandom.random_bytes(1 << 20)
    body, headers = multipart({ "note" => "nöte" }, { "file" => ["blob.bin", content] })
    reply = timed("1 MB upload") { browser.request("#{web.base}/upload", body, headers) }
    assert_equal "blob.bin #{content.bytesize} #{Digest::SHA256.hexdigest(content)} nöte",
                 reply.body.force_encoding("UTF-8")

    # A 50 MB answer streams through a worker whose memory stays flat.
    server.wait_ready(2)
    before = server.workers.to_h { |pid| [pid, peak_rss_kib(pid)] }
    digest = Digest::SHA256.new
    size = 0
    timed("50 MB streamed") do
      browser.request("#{web.base}/stream/50") do |chunk|
        digest << chunk
        size += chunk.bytesize
      end
    end
    assert_equal 50 << 20, size
    assert_equal Digest::SHA256.digest(PATTERN * (50 * 16)), digest.digest
    growth = before.map { |pid, rss| peak_rss_kib(pid) - rss }.max
    puts "peak memory growth of a worker while streaming 50 MB: #{growth} KiB"
    assert_operator growth, :<, 16 * 1024, "a worker's peak memory grew by #{growth} KiB"
    refute_lint_errors(server)

    # rackup -s dostrel serves the same application.
    rackup = ServerProcess.new(%w[rackup -s dostrel -o 127.0.0.1 -p 0 -E production
                                  sinatra/config.ru], @dir)
    @started << rackup
    web = start_web(rackup.port)
    assert_equal "hello rackup q=", browser.request("#{web.base}/hello/rackup").body
    reply = Browser.new.request("#{web.base}/form", "a=2")
    assert_equal [200, "a=2"], [reply.status, reply.body]
    wait_for(5, "the access line") { rackup.log.include?('"GET /cgi-bin/dostrel/hello/rackup HTTP/1.1" 200 ') }
    refute_lint_errors(rackup)
  end

  def test_rails
    database = File.join(@dir, "notes.sqlite3")
    server = start_rack("--threads", "4", "rails/config.ru",
                        env: { "DATABASE_URL" => "sqlite3:#{database}" })
    web = start_web(server.port)
    browser = Browser.new
    page = browser.request("#{web.base}/")
    assert_equal 200, page.status
    assert_includes page.body, "<p>0 notes</p>"
    assert_includes page.body, "action='/cgi-bin/dostrel/notes'", "paths carry the script name"
    token = page.body[/name='authenticity_token' value='([^']+)'/, 1]
    refute_nil token

    # Rails' CSRF check: refused without the token, or without the session cookie beside it.
    assert_equal 422, browser.request("#{web.base}/notes", "text=forged").status
    form = URI.encode_www_form(authenticity_token: token, text: "hello & wörld")
    assert_equal 422, Browser.new.request("#{web.base}/notes", form).status
    reply = browser.request("#{web.base}/notes", form)
    assert_equal 302, reply.status
    assert_match %r{\Ahttp://127\.0\.0\.1:\d+/cgi-bin/dostrel/\z}, reply.headers["location"][0]
    page = browser.request("#{web.base}/")
    assert_includes page.body.force_encoding("UTF-8"), "<li>hello &amp; wörld</li>"
    assert_includes page.body, "<p>1 notes</p>", "the page comes from the database"
    reply = browser.request("#{web.base}/go")
    assert_equal [302, "/cgi-bin/dostrel/"], [reply.status, URI(reply.headers["location"][0]).path]
    assert_equal 404, browser.request("#{web.base}/no/such/page").status
    reply = browser.request("#{web.base}/boom")
    assert_equal 500, reply.status
    refute_includes reply.body, "secret"
    refute_lint_errors(server)

    # rackup -s dostrel serves the same application.
    rackup = ServerProcess.new(%w[rackup -s dostrel -o 127.0.0.1 -p 0 -E production
                                  rails/config.ru], @dir, env: { "DATABASE_URL" => "sqlite3:#{database}" })
    @started << rackup
    web = start_web(rackup.port)
    assert_includes Browser.new.request("#{web.base}/").body, "<p>1 notes</p>"
    refute_lint_errors(rackup)
  end
end
