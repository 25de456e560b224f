# urls.py -- the test project's views and routes.
from django.http import HttpResponse
from django.middleware.csrf import get_token
from django.shortcuts import redirect
from django.urls import path, reverse


def index(request):
    return HttpResponse("<a href='%s'>hello</a> <form method=post action='%s'>"
                        "<input name=csrfmiddlewaretoken value='%s'></form>"
                        % (reverse("hello", args=["world"]), reverse("form"),
                           get_token(request)))


def hello(request, name):
    return HttpResponse("hello %s q=%s" % (name, request.GET.get("q", "")))


def form(request):
    return HttpResponse("|".join("%s=%s" % (key, request.POST[key])
                                 for key in sorted(request.POST)
                                 if key != "csrfmiddlewaretoken"))


def count(request):
    request.session["count"] = request.session.get("count", 0) + 1
    return HttpResponse("count %d" % request.session["count"])


def go(request):
    return redirect("hello", name="there")


def boom(request):
    raise RuntimeError("the secret reason")


urlpatterns = [
    path("", index),
    path("hello/<str:name>", hello, name="hello"),
    path("form", form, name="form"),
    path("count", count),
    path("go", go),
    path("boom", boom),
]
