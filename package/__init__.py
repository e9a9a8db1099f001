"""The extmods extension modules, as a package.

Every module is also installed at the top level of site-packages, but some
of their names (readline, resource, syslog, _crypt) belong to standard
modules that come first on the path. Inside this package the names are
unambiguous:

    from extmods import readline, resource, syslog, _crypt
"""
__version__ = "0.1.0"
