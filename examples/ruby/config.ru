# config.ru -- the guest book, as dostrel-rack, rackup or any Rack server loads it.
require_relative "guestbook"
run Guestbook
