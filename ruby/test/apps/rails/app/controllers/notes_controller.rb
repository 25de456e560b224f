# notes_controller.rb -- a form behind Rails' CSRF check, a page from the database that links
# a stylesheet with Rails' asset tag.
class NotesController < ActionController::Base
  def index
    items = Note.order(:id).map { |note| "<li>#{ERB::Util.h(note.text)}</li>" }.join
    render html: ("#{helpers.stylesheet_link_tag('notes')}<form action='#{notes_path}' method='post'>" \
                  "<input type='hidden' name='authenticity_token' value='#{form_authenticity_token}'>" \
                  "<input name='text'></form><ul>#{items}</ul><p>#{Note.count} notes</p>").html_safe
  end

  def create
    Note.create!(text: params.require(:text))
    redirect_to root_path
  end
end
