// Asio's TLS support is compiled once, here, for the whole program.
#include <asio/ssl/impl/src.hpp>
