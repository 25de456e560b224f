# app.rb -- a small Sinatra application for the tests through the gateway.
require "digest"
require "sinatra/base"

class SinatraApp < Sinatra::Base
  PATTERN = (0..255).map(&:chr).join.b * 256 # 64 KiB

  enable :sessions
  set :session_secret, "only for the tests, and long enough for Rack's cookie sessions" * 2

  get "/" do
    "<a href='#{url('/hello/world?q=1', false)}'>hello</a> <a href='#{url('/count', false)}'>count</a>"
  end

  get "/hello/:name" do
    "hello #{params['name']} q=#{params['q']}"
  end

  post "/form" do
    params.sort.map { |k, v| "#{k}=#{v}" }.join("|")
  end

  post "/upload" do
    file = params["file"]
    data = file[:tempfile].read
    "#{file[:filename]} #{data.bytesize} #{Digest::SHA256.hexdigest(data)} #{params['note']}"
  end

  get "/count" do
    session["count"] = (session["count"] || 0) + 1
    "count #{session['count']}"
  end

  get "/cookies" do
    response.set_cookie("first", "1")
    response.set_cookie("second", "2")
    "two cookies"
  end

  get "/go" do
    redirect to("/hello/there")
  end

  get "/stream/:megabytes" do
    content_type "application/octet-stream"
    stream do |out|
      (params["megabytes"].to_i * 16).times { out << PATTERN }
    end
  end

  get "/boom" do
    raise "the secret reason"
  end
end
