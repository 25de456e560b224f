# frozen_string_literal: true

# lifecycle_test.rb -- what each signal does, through lighttpd and the gateway: reloads under
# load with every answer right, one worker more or fewer, a dead worker replaced, and a graceful
# stop that answers the request in flight and the five queued behind it.
require_relative "helper"

class LifecycleTest < ServerTest
  def write_version(number)
    File.write(File.join(@dir, "config.ru"), <<~RUBY)
      VERSION = #{number}
      use Rack::Lint
      run(lambda do |env|
        sleep 1 if env["PATH_INFO"] == "/slow"
        [200, { "Content-Type" => "text/plain" }, ["version \#{VERSION} \#{env['PATH_INFO']}"]]
      end)
    RUBY
  end

  def test_reloads_worker_count_and_graceful_stop
    write_version(1)
    pid_file = File.join(@dir, "server.pid")
    server = start_rack("--chdir", @dir, "--workers", "2", "--pid", pid_file,
                        "--graceful-timeout", "20", chdir: @dir)
    assert_equal server.pid, File.read(pid_file).to_i
    web = start_web(server.port)
    seen = [] # the version of every right answer, in order
    failures = []
    lock = Mutex.new
    done = false
    # Clients keep the server busy until both reloads have been seen through.
    clients = Array.new(4) do |c|
      Thread.new do
        n = 0
        until done
          path = "/c#{c}r#{n += 1}"
          reply = Browser.new.request("#{web.base}#{path}")
          lock.synchronize do
            if reply.status == 200 && reply.body =~ %r{\Aversion (\d) #{path}\z}
              seen << Regexp.last_match(1).to_i
            else
              failures << [path, reply.status, reply.body[0, 200]]
            end
          end
        end
      end
    end
    timed("two reloads under load") do
      [[2, "USR2"], [3, "HUP"]].each do |version, signal|
        wait_for(60, "requests") { lock.synchronize { seen.size } > 20 * version }
        write_version(version)
        server.signal(signal)
        wait_for(60, "version #{version}") { lock.synchronize { seen.last(8) } == [version] * 8 }
      end
    ensure
      done = true
      clients.each(&:join)
    end
    puts "#{seen.size} answers during the reloads"
    assert_empty failures
    assert_equal [1, 2, 3], seen.uniq, "each version in turn"
    wait_for(30, "the old workers gone") { server.workers.size == 2 }
    wait_for(10, "version 3 everywhere") do
      Array.new(4) { Browser.new.request("#{web.base}/x").body }.uniq == ["version 3 /x"]
    end
    refute_includes server.log, "refused"

    # A reload whose code does not load leaves the old workers serving.
    before = server.workers.sort
    File.write(File.join(@dir, "config.ru"), "this is not ruby(\n")
    server.signal("USR2")
    wait_for(30, "the failed reload") { server.log.include?("reload failed") }
    wait_for(10, "the failed workers gone") { server.workers.sort == before }
    assert_equal "version 3 /y", Browser.new.request("#{web.base}/y").body
    write_version(3)

    # TTIN / TTOU: one worker more, one fewer; a worker that dies is replaced.
    server.signal("TTIN")
    wait_for(10, "three workers") { server.workers.size == 3 }
    server.signal("TTOU")
    wait_for(10, "two workers") { server.workers.size == 2 }
    victim = server.workers[0]
    Process.kill("KILL", victim)
    wait_for(10, "a replacement") { server.workers.size == 2 && !server.workers.include?(victim) }
    server.wait_ready(2)
    server.signal("TTOU")
    server.wait_ready(1)

    # TERM with one request in flight and five queued in the one worker's listening socket:
    # all six answered, then the end.
    replies = Queue.new
    fetch = -> { Thread.new { replies << Browser.new.request("#{web.base}/slow") } }
    clients = [fetch.call]
    sleep 0.3 # the first is being served
    clients += Array.new(5) { fetch.call }
    sleep 0.3 # the others wait behind it, in the workers or the listening socket's queue
    server.signal("TERM")
    timed("graceful stop with six requests") { clients.each { |c| c.join(60) } }
    answers = Array.new(replies.size) { replies.pop }
    assert_equal [[200, "version 3 /slow"]] * 6, answers.map { |r| [r.status, r.body] }
    assert_equal 0, server.wait(30)
    refute File.exist?(pid_file), "the pid file is removed"
    assert_raises(Errno::ECONNREFUSED) { Socket.tcp("127.0.0.1", server.port) }
  end
end
