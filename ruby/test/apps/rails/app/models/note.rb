# note.rb -- one line of text in the database.
class Note < ActiveRecord::Base
end
