# __init__.py -- a small Django project for the tests through the gateway.
