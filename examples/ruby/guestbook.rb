# guestbook.rb -- a small Sinatra application served through the dostrel gateway: a form, a
# session, a redirect, and links that carry the gateway's script name.
require "cgi"
require "sinatra/base"

class Guestbook < Sinatra::Base
  enable :sessions
  set :session_secret, ENV.fetch("GUESTBOOK_SECRET") { "change me: signs the session cookie " * 2 }
  ENTRIES = [] # in memory, per worker: enough for a demonstration
  LOCK = Mutex.new

  get "/" do
    session["visits"] = (session["visits"] || 0) + 1
    items = LOCK.synchronize { ENTRIES.last(20) }.map { |entry| "<li>#{CGI.escapeHTML(entry)}</li>" }
    "<!doctype html><title>Guest book</title><h1>Guest book</h1>" \
      "<p>Visit #{session['visits']} in this session. Served at " \
      "<code>#{CGI.escapeHTML(request.url)}</code>.</p><ul>#{items.join}</ul>" \
      "<form method=post action='#{url('/sign', false)}'><input name=entry autofocus>" \
      "<button>Sign</button></form>"
  end

  post "/sign" do
    entry = params["entry"].to_s.strip[0, 200]
    LOCK.synchronize { ENTRIES << entry } unless entry.empty?
    redirect to("/")
  end
end
