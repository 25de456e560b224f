# settings.py -- the test project's settings: no database, sessions in signed cookies.
SECRET_KEY = "only for the tests"
DEBUG = False
ALLOWED_HOSTS = ["*"]
ROOT_URLCONF = "djangosite.urls"
INSTALLED_APPS = ["django.contrib.sessions"]
MIDDLEWARE = [
    "django.contrib.sessions.middleware.SessionMiddleware",
    "django.middleware.csrf.CsrfViewMiddleware",
]
SESSION_ENGINE = "django.contrib.sessions.backends.signed_cookies"
DATABASES = {}
USE_TZ = True
# Errors to standard error, which is the server's log.
LOGGING = {
    "version": 1,
    "disable_existing_loggers": False,
    "handlers": {"console": {"class": "logging.StreamHandler"}},
    "loggers": {"django.request": {"handlers": ["console"], "level": "ERROR"}},
}
