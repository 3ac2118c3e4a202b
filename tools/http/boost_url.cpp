// Boost.URL ships as source to be compiled once into the program; Debian packages no library.
#include <boost/url/src.hpp>
