# frozen_string_literal: true

# web_test.rb -- Sinatra and Rails applications, unchanged, through lighttpd and the real gateway,
# served by dostrel-rack (Sinatra also by `rackup -s dostrel`), every request under Rack::Lint.
require "digest"
require "securerandom"
require_relative "helper"

class WebTest < ServerTest
  PATTERN = (0..255).map(&:chr).join.b * 256 # what the Sinatra application streams

  def peak_rss_kib(pid)
    File.read("/proc/#{pid}/status")[/VmHWM:\s+(\d+) kB/, 1].to_i
  end

  def test_sinatra
    server = start_rack("--workers", "2", "--threads", "4", "--timeout", "20", "sinatra/config.ru")
    base = start_web(server.port).base
    browser = Browser.new
    assert_includes browser.get("#{base}/"), "href='/cgi-bin/dostrel/hello/world?q=1'"
    assert_equal "hello café q=a b", browser.get("#{base}/hello/caf%C3%A9?q=a%20b")
    reply = browser.request("#{base}/form", URI.encode_www_form(a: "1", b: "ü ber"))
    assert_equal [200, "a=1|b=ü ber"], [reply.status, reply.body]
    assert_equal ["count 1", "count 2"], Array.new(2) { browser.get("#{base}/count") }, "the session goes round"
    cookies = browser.request("#{base}/cookies").headers["set-cookie"]
    assert_equal %w[first=1 second=2], cookies.map { |c| c[/\A[^;]*/] }.grep(/\A(first|second)=/)
    reply = browser.request("#{base}/go")
    assert_equal [302, "#{base}/hello/there"], [reply.status, reply.headers["location"][0]]
    missing, failed = %w[/no/such/page /boom].map { |path| browser.request("#{base}#{path}") }
    assert_equal [404, 500], [missing.status, failed.status]
    refute_includes failed.body, "secret"
    wait_for(5, "the error in the log") { server.log.include?("the secret reason") }

    # A 1 MB multipart upload arrives byte-exact.
    content = SecureRandom.random_bytes(1 << 20)
    boundary = "----dostrel#{SecureRandom.hex(8)}"
    body = "--#{boundary}\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nnöte\r\n" \
           "--#{boundary}\r\nContent-Disposition: form-data; name=\"file\"; filename=\"blob.bin\"\r\n" \
           "Content-Type: application/octet-stream\r\n\r\n".b + content + "\r\n--#{boundary}--\r\n"
    reply = timed("1 MB upload") do
      browser.request("#{base}/upload", body, "Content-Type" => "multipart/form-data; boundary=#{boundary}")
    end
    assert_equal "blob.bin #{content.bytesize} #{Digest::SHA256.hexdigest(content)} nöte", reply.body

    # A 50 MB answer streams through a worker whose memory stays flat.
    server.wait_ready(2)
    before = server.workers.to_h { |pid| [pid, peak_rss_kib(pid)] }
    digest = Digest::SHA256.new
    timed("50 MB streamed") { browser.request("#{base}/stream/50") { |chunk| digest << chunk } }
    assert_equal Digest::SHA256.digest(PATTERN * (50 * 16)), digest.digest
    growth = before.map { |pid, rss| peak_rss_kib(pid) - rss }.max
    puts "peak memory growth of a worker while streaming 50 MB: #{growth} KiB"
    assert_operator growth, :<, 16 * 1024, "a worker's peak memory grew by #{growth} KiB"

    # rackup -s dostrel serves the same application and logs its access lines.
    rackup = start_rack("sinatra/config.ru", rackup: true)
    assert_equal "hello rackup q=", browser.get("#{start_web(rackup.port).base}/hello/rackup")
    wait_for(5, "the access line") { rackup.log.include?('"GET /cgi-bin/dostrel/hello/rackup HTTP/1.1" 200 ') }
    [server, rackup].each { |s| refute_match(/LintError/, s.log, "Rack::Lint found a fault") }
  end

  def test_rails
    # Rails' asset tags ignore SCRIPT_NAME: under a sub-path they need RAILS_RELATIVE_URL_ROOT.
    server = start_rack("--threads", "4", "rails/config.ru",
                        env: { "DATABASE_URL" => "sqlite3:#{File.join(@dir, 'notes.sqlite3')}",
                               "RAILS_RELATIVE_URL_ROOT" => "/cgi-bin/dostrel" })
    base = start_web(server.port).base
    browser = Browser.new
    page = browser.get("#{base}/")
    assert_includes page, "action='/cgi-bin/dostrel/notes'", "paths carry the script name"
    stylesheet = page[/<link [^>]*href="([^"]+)"/, 1]
    assert_equal "/cgi-bin/dostrel/stylesheets/notes.css", stylesheet
    reply = browser.request("#{base.delete_suffix('/cgi-bin/dostrel')}#{stylesheet}")
    assert_equal [200, File.read(File.join(APPS, "rails/public/stylesheets/notes.css"))],
                 [reply.status, reply.body], "the stylesheet arrives"
    assert_equal 422, browser.request("#{base}/notes", "text=forged").status, "no CSRF token"
    token = page[/name='authenticity_token' value='([^']+)'/, 1]
    reply = browser.request("#{base}/notes", URI.encode_www_form(authenticity_token: token, text: "hello & wörld"))
    assert_equal [302, "#{base}/"], [reply.status, reply.headers["location"][0]]
    page = browser.get("#{base}/")
    assert_includes page, "<ul><li>hello &amp; wörld</li></ul><p>1 notes</p>", "a page from the database"
    refute_match(/LintError/, server.log, "Rack::Lint found a fault")
  end
end
