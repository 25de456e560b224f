# frozen_string_literal: true

# lifecycle_test.rb -- what each signal does, through lighttpd and the gateway: a reload under
# load with every answer right, a reload that fails, one worker more or fewer, and a graceful
# stop that answers the request in flight and the five queued behind it.
require_relative "helper"

class LifecycleTest < ServerTest
  def write_app(version)
    File.write(File.join(@dir, "config.ru"), <<~RUBY)
      use Rack::Lint
      run(lambda do |env|
        sleep 1 if env["PATH_INFO"] == "/slow"
        [200, { "content-type" => "text/plain" }, ["version #{version} \#{env['PATH_INFO']}"]]
      end)
    RUBY
  end

  def test_reloads_worker_count_and_graceful_stop
    write_app(1)
    pid_file = File.join(@dir, "server.pid")
    server = start_rack("--chdir", @dir, "--workers", "2", "--pid", pid_file,
                        "--graceful-timeout", "20", chdir: @dir)
    assert_equal server.pid, File.read(pid_file).to_i
    base = start_web(server.port).base
    get = ->(path) { Browser.new.get("#{base}#{path}") }
    answers = Queue.new # the version of each answer, or the whole of a wrong one
    done = false
    clients = Array.new(4) do |c|
      Thread.new do
        (1..).each do |n|
          break if done

          body = get["/c#{c}r#{n}"]
          answers << (body[%r{\Aversion (\d) /c#{c}r#{n}\z}, 1] || body)
        end
      end
    end
    seen = []
    all_seen = -> { seen.concat(Array.new(answers.size) { answers.pop }) }
    timed("reload under load") do
      wait_for(60, "requests") { all_seen[].size > 20 }
      write_app(2)
      server.signal("USR2")
      wait_for(60, "version 2") { all_seen[].last(8) == ["2"] * 8 }
    ensure
      done = true
      clients.each(&:join)
    end
    puts "#{all_seen[].size} answers during the reload"
    assert_equal %w[1 2], seen.uniq, "the old version, then the new, and no wrong answer"
    wait_for(30, "the old workers gone") { server.workers.size == 2 }
    wait_for(10, "version 2 everywhere") { Array.new(4) { get["/x"] }.uniq == ["version 2 /x"] }
    refute_includes server.log, "refused"

    # A reload whose code does not load leaves the old workers serving.
    before = server.workers.sort
    File.write(File.join(@dir, "config.ru"), "this is not ruby(\n")
    server.signal("HUP")
    wait_for(30, "the failed reload") { server.log.include?("reload failed") }
    wait_for(10, "the failed workers gone") { server.workers.sort == before }
    assert_equal "version 2 /y", get["/y"]
    write_app(2)

    # TTIN: one worker more; TTOU: one fewer.
    [["TTIN", 3], ["TTOU", 2], ["TTOU", 1]].each do |name, count|
      server.signal(name)
      server.wait_ready(count)
    end

    # TERM with one request in flight and five queued behind it in the one worker: all answered.
    replies = Queue.new
    fetch = -> { Thread.new { replies << Browser.new.request("#{base}/slow") } }
    clients = [fetch.call]
    sleep 0.3 # the first is being served
    clients += Array.new(5) { fetch.call }
    sleep 0.3 # the others wait behind it
    server.signal("TERM")
    timed("graceful stop with six requests") { clients.each { |c| c.join(60) } }
    answers = Array.new(replies.size) { replies.pop }.map { |r| [r.status, r.body] }
    assert_equal [[200, "version 2 /slow"]] * 6, answers
    assert_equal 0, server.wait(30)
    refute File.exist?(pid_file), "the pid file is removed"
    assert_raises(Errno::ECONNREFUSED) { Socket.tcp("127.0.0.1", server.port) }
  end
end
