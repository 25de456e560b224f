# routes.rb -- the notes: a page and a form.
Rails.application.routes.draw do
  root "notes#index"
  post "/notes" => "notes#create", as: :notes
end
