// The Qt views' heavy headers, parsed once for their target (see src/host/qt).
#pragma once
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/steady_timer.hpp>
#include <QtWidgets/QtWidgets>
