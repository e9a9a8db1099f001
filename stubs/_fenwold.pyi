# An empty module. Its library also holds the modules _fenwold_foo and
# _fenwold_bar, reached by loading the same file under those names.
