# settings.py -- a Django site with its admin, served through the dostrel gateway, its static
# files (the admin's styles and scripts) served by the web server itself.
import os

BASE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SECRET_KEY = os.environ.get("MYSITE_SECRET_KEY", "change me: signs sessions and tokens")
DEBUG = False
ALLOWED_HOSTS = os.environ.get("MYSITE_ALLOWED_HOSTS", "localhost,127.0.0.1").split(",")
ROOT_URLCONF = "mysite.urls"
WSGI_APPLICATION = "mysite.wsgi.application"

INSTALLED_APPS = [
    "django.contrib.admin",
    "django.contrib.auth",
    "django.contrib.contenttypes",
    "django.contrib.sessions",
    "django.contrib.messages",
    "django.contrib.staticfiles",
]
MIDDLEWARE = [
    "django.middleware.security.SecurityMiddleware",
    "django.contrib.sessions.middleware.SessionMiddleware",
    "django.middleware.common.CommonMiddleware",
    "django.middleware.csrf.CsrfViewMiddleware",
    "django.contrib.auth.middleware.AuthenticationMiddleware",
    "django.contrib.messages.middleware.MessageMiddleware",
]
TEMPLATES = [{
    "BACKEND": "django.template.backends.django.DjangoTemplates",
    "APP_DIRS": True,
    "OPTIONS": {"context_processors": [
        "django.template.context_processors.request",
        "django.contrib.auth.context_processors.auth",
        "django.contrib.messages.context_processors.messages",
    ]},
}]
DATABASES = {"default": {
    "ENGINE": "django.db.backends.sqlite3",
    "NAME": os.environ.get("MYSITE_DATABASE", os.path.join(BASE_DIR, "db.sqlite3")),
}}
DEFAULT_AUTO_FIELD = "django.db.models.BigAutoField"
USE_TZ = True

# Static files: collectstatic copies every application's files into STATIC_ROOT, and the web
# server serves that folder at STATIC_URL, an address of its own beside the gateway's (a path
# from the web server's root, so it does not pass through the gateway).
STATIC_URL = "/static/"
STATIC_ROOT = os.environ.get("MYSITE_STATIC_ROOT", "/srv/mysite/static")
