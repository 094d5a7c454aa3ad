// Asio is compiled once, here, for the whole program.
#include <asio/impl/src.hpp>
