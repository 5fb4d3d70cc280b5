// The shared library is made entirely of the internal archive.
