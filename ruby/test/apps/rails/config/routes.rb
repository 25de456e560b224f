# routes.rb -- the notes, a redirect, a failure.
Rails.application.routes.draw do
  root "notes#index"
  post "/notes" => "notes#create", as: :notes
  get "/go" => "notes#go"
  get "/boom" => "notes#boom"
end
