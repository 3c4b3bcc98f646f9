// The one translation unit that compiles Asio's and Beast's own sources (the
// rest of the project includes them with separate compilation enabled).
#include <boost/asio/impl/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/beast/src.hpp>
