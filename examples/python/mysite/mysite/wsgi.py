# wsgi.py -- the WSGI application: dostrel-wsgi --chdir examples/python/mysite mysite.wsgi:application
import os

from django.core.wsgi import get_wsgi_application

os.environ.setdefault("DJANGO_SETTINGS_MODULE", "mysite.settings")
application = get_wsgi_application()
