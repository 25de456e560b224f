# environment.rb -- boots the application and makes its one table.
require_relative "application"
Rails.application.initialize!
ActiveRecord::Migration.verbose = false
ActiveRecord::Schema.define do
  create_table :notes, if_not_exists: true do |t|
    t.string :text, null: false
  end
end
