# config.ru -- a Rack application that answers with the URL variables it was given.
run(lambda do |env|
  lines = %w[SCRIPT_NAME PATH_INFO QUERY_STRING].map { |name| "#{name}=".b + env[name].b + "\n" }
  [200, { "content-type" => "text/plain" }, [lines.join]]
end)
