# urls.py -- the admin, and a page that links to it.
from django.contrib import admin
from django.http import HttpResponse
from django.urls import path, reverse


def index(request):
    return HttpResponse("<!doctype html><title>mysite</title><p><a href='%s'>The admin</a>"
                        % reverse("admin:index"))


urlpatterns = [
    path("", index),
    path("admin/", admin.site.urls),
]
