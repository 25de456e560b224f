# frozen_string_literal: true

# heartbeat.rb -- the file a worker shares with the arbiter: when it was last known idle (or
# when its oldest request began), and which requests it is serving, so that the arbiter can
# kill a stuck worker and say in one log line which connections that reset.

module Dostrel
  module Heartbeat
    MOST = 4096 # bytes of request descriptions kept

    module_function

    # One write: the stamp (seconds since the epoch), then the lines' length and the lines.
    def write(file, stamp, lines)
      text = lines.join("\n").b
      text = text.byteslice(0, MOST) if text.bytesize > MOST
      file.pwrite([stamp, text.bytesize].pack("GN") << text, 0)
    end

    # [stamp, lines]; [nil, []] when nothing was written yet.
    def read(file)
      head = file.pread(12, 0)
      stamp, size = head.unpack("GN")
      [stamp, size.positive? ? file.pread(size, 12).split("\n") : []]
    rescue EOFError, SystemCallError, ArgumentError
      [nil, []]
    end
  end
end
